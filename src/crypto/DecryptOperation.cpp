#include "DecryptOperation.h"

#include "CertificateStore.h"
#include "CryptoHandles.h"
#include "EnvelopeApi.h"
#include "FileBytes.h"
#include "GostRuntime.h"
#include "TryFinally.h"
#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"

#include <algorithm>
#include <cstdint>
#include <memory>

namespace plombar::crypto {

DecryptResult DecryptFile(const std::string& inputPath, DecryptView& view) {
    DecryptResult result;
    StoreHandle store(CertOpenSystemStoreA(0, CertificateStore::kPersonal));
    const std::string storeProblem = store ? std::string() : LastCryptoDiagnostic();
    const std::uint32_t storeCode = store ? 0 : GetLastError();
    HCERTSTORE stores[] = {store.get()};
    CRYPT_DECRYPT_MESSAGE_PARA para{};
    para.cbSize = kDecryptMessageParaSize32;
    para.dwMsgAndCertEncodingType = kMessageEncoding;
    para.cCertStore = 1;
    para.rghCertStore = stores;

    auto input = std::make_unique<std::string>();
    std::unique_ptr<std::string> output;
    std::string folder;
    TryFinally(
        [&] {
            if (!GostRuntimeReady())
                throw Error(GostRuntimeErrorText());
            // Without the store no key is found; its own reason (a folder others can write to, one
            // that cannot be read) says more than "no key" would.
            if (!store)
                throw Error(storeProblem.empty() ? FailureMessage(storeCode) : storeProblem);
            *input = readFileBytes(inputPath);
            output = std::make_unique<std::string>();
            // The calls take a 32-bit length; a larger file is no message they could read, and a
            // cut length must not make its start look like one.
            const auto size = static_cast<DWORD>(std::min<std::uint64_t>(input->size(), UINT32_MAX));
            const auto* inputBytes = reinterpret_cast<const BYTE*>(input->data());
            DWORD length = 0;
            if (!CryptDecryptMessage(&para, inputBytes, size, nullptr, &length, nullptr)) {
                result.errorCode = GetLastError(); // read once, right after the call
                result.diagnostic = LastCryptoDiagnostic();
                view.ShowMessage(FailureMessage(result.errorCode));
                return;
            }
            *output = newByteBuffer(length);
            // An empty content still gets a buffer, so that the data call decrypts (and checks the
            // key) instead of only asking for the length again.
            static BYTE empty = 0;
            BYTE* buffer = length != 0 ? reinterpret_cast<BYTE*>(output->data()) : &empty;
            if (!CryptDecryptMessage(&para, inputBytes, size, buffer, &length, nullptr)) {
                result.errorCode = GetLastError();
                result.diagnostic = LastCryptoDiagnostic();
                result.outcome = DecryptOutcome::DataCallFailed;
                view.ShowMessage(FailureMessage(result.errorCode));
                return;
            }
            output->resize(length);
            result.outputPath = withoutLastFourCharacters(inputPath);
            saveFileAtomically(result.outputPath, *output);
            view.ShowMessage(kDecryptedText);
            result.outcome = DecryptOutcome::Success;
        },
        [&] {
            folder = folderOf(inputPath);
            output.reset();
            store.reset(); // closed with CERT_CLOSE_STORE_CHECK_FLAG; the result does not matter here
            input.reset();
            view.ResetPage();
        });
    if (result.outcome == DecryptOutcome::Success)
        view.OpenFolder(folder);
    return result;
}

} // namespace plombar::crypto

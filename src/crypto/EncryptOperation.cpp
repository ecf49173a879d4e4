#include "EncryptOperation.h"

#include "CertificateStore.h"
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

EncryptResult EncryptFile(const EncryptRequest& request, EncryptView& view) {
    EncryptResult result;
    bool saved = false;
    // Nested as the releases are: input buffer with the page reset outermost, then the store with
    // the certificate-file buffer, then the certificate, then the output buffer.
    TryFinally(
        [&] {
            auto input = std::make_unique<std::string>();
            TryFinally(
                [&] {
                    // Without the engine nothing GOST can be encrypted; say so instead of an OS error.
                    if (!GostRuntimeReady())
                        throw Error(GostRuntimeErrorText());
                    *input = readFileBytes(request.inputPath);
                    // Used by the selection dialog only. When it is needed and cannot be opened, its
                    // reason is the error: a folder others can write to may hold a planted recipient.
                    HCERTSTORE store = CertOpenSystemStoreA(0, CertificateStore::kPersonal);
                    if (store == nullptr && !request.certificateFromFile)
                        throw Error(LastCryptoDiagnostic().empty() ? FailureMessage(GetLastError())
                                                                   : LastCryptoDiagnostic());
                    auto certificateFile = std::make_unique<std::string>();
                    TryFinally(
                        [&] {
                            PCCERT_CONTEXT recipient = nullptr;
                            if (request.certificateFromFile) {
                                // One DER certificate is expected; PEM or Base64 text is handed over as it
                                // is and refused as no certificate.
                                *certificateFile = readFileBytes(request.certificatePath);
                                recipient = CertCreateCertificateContext(
                                    kMessageEncoding, reinterpret_cast<const BYTE*>(certificateFile->data()),
                                    static_cast<DWORD>(certificateFile->size()));
                                // A certificate too large to decode in the memory there is has failed
                                // to load; it is not "no certificate".
                                if (recipient == nullptr && GetLastError() == winerr::E_OUTOFMEMORY)
                                    throw OutOfMemoryError();
                            } else {
                                recipient = view.SelectCertificate(store, kEncryptCertificateTitle);
                            }
                            if (recipient == nullptr) {
                                view.ShowMessage(kNoCertificateText);
                                view.ClearInputSlot();
                                return;
                            }
                            TryFinally(
                                [&] {
                                    CRYPT_ENCRYPT_MESSAGE_PARA para{};
                                    para.cbSize = kEncryptMessageParaSize32;
                                    para.dwMsgEncodingType = kMessageEncoding;
                                    // The recipient's public-key algorithm names the cipher; the text
                                    // stays inside the context, which lives until both calls are done.
                                    para.ContentEncryptionAlgorithm.pszObjId =
                                        recipient->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
                                    PCCERT_CONTEXT recipients[] = {recipient};
                                    // The call takes a 32-bit length: a file that grew past it
                                    // since it was chosen is refused by the call as too large,
                                    // never encrypted in part under a cut length.
                                    const auto size = static_cast<DWORD>(
                                        std::min<std::uint64_t>(input->size(), UINT32_MAX));
                                    const auto* inputBytes = reinterpret_cast<const BYTE*>(input->data());
                                    DWORD length = 0;
                                    Win32Check(CryptEncryptMessage(&para, 1, recipients, inputBytes, size,
                                                                   nullptr, &length));
                                    auto output = std::make_unique<std::string>(newByteBuffer(length));
                                    Win32Check(CryptEncryptMessage(&para, 1, recipients, inputBytes, size,
                                                                   reinterpret_cast<BYTE*>(output->data()),
                                                                   &length));
                                    output->resize(length);
                                    result.outputPath = request.inputPath + ".enc";
                                    saveFileAtomically(result.outputPath, *output);
                                    view.ShowMessage(kEncryptedText);
                                    saved = true;
                                },
                                [&] { Win32Check(CertFreeCertificateContext(recipient)); });
                        },
                        [&] {
                            Win32Check(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
                            certificateFile.reset();
                        });
                },
                [&] { input.reset(); });
        },
        [&] { view.ResetPage(); });

    if (!saved)
        return result;
    view.OpenFolder(folderOf(request.inputPath));
    view.ClearSlots();
    result.outcome = EncryptOutcome::Success;
    return result;
}

} // namespace plombar::crypto

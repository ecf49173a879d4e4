#include "SignOperation.h"

#include "CertificateStore.h"
#include "ContentDigest.h"
#include "CryptoHandles.h"
#include "CryptoInternal.h"
#include "FileBytes.h"
#include "GostRuntime.h"
#include "codec/Base64.h"
#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace plombar::crypto {

std::string ChooseHashAlgorithm(const std::string& publicKeyAlgorithm) {
    static constexpr struct {
        const char* key;
        const char* hash;
    } kTable[] = {
        {"1.2.643.2.2.19", "1.2.643.2.2.9"},
        {"1.2.643.7.1.1.1.1", "1.2.643.7.1.1.2.2"},
        {"1.2.643.7.1.1.1.2", "1.2.643.7.1.1.2.3"},
    };
    for (const auto& row : kTable)
        if (publicKeyAlgorithm == row.key)
            return row.hash;
    return {};
}

std::string FailureMessage(std::uint32_t code) {
    return systemMessage(code) + " - " + std::to_string(code);
}

SignResult SignFile(const std::string& inputPath, bool detached, SignView& view) {
    SignResult result;
    // Without the engine nothing GOST can be signed; say so instead of failing obscurely later.
    if (!GostRuntimeReady())
        throw Error(GostRuntimeErrorText());

    StoreHandle store(CertOpenSystemStoreA(0, CertificateStore::kPersonal));
    if (!store)
        throw Error(LastCryptoDiagnostic().empty() ? FailureMessage(GetLastError()) : LastCryptoDiagnostic());

    CertContextHandle signer(view.SelectCertificate(store.get(), kSignCertificateTitle));
    if (!signer) {
        view.ShowMessage(kNoCertificateText);
        view.ClearSelection();
        result.outcome = SignOutcome::NoCertificate;
        return result;
    }

    const std::string input = inputPath;
    // On early returns and raised errors these go in reverse order: message, content.
    auto content = std::make_unique<std::string>();
    auto signature = std::make_unique<std::string>();

    const std::string hashAlgorithm =
        ChooseHashAlgorithm(signer->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId);
    // The content is hashed on a second thread while it loads; the data call then only signs.
    const EvpMdCtxPtr loadDigest =
        LoadFileWithDigest(*content, input, detail::digestForOid(hashAlgorithm.c_str()));

    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = kSignMessageParaSize32;
    para.dwMsgEncodingType = kMessageEncoding;
    para.pSigningCert = signer.get();
    // An empty identifier is passed as empty text, never as a missing one.
    std::string hashText = hashAlgorithm;
    para.HashAlgorithm.pszObjId = hashText.data();
    PCCERT_CONTEXT messageCertificates[] = {signer.get()};
    para.cMsgCert = 1;
    para.rgpMsgCert = messageCertificates;
    // The signing call takes 32-bit lengths. A file that grew past that after it was chosen goes in
    // several elements, which the call refuses as a whole, instead of a cut length signing its start.
    static const BYTE kEmpty = 0;
    std::vector<const BYTE*> contents;
    std::vector<DWORD> contentLengths;
    const BYTE* next = !content->empty() ? reinterpret_cast<const BYTE*>(content->data()) : &kEmpty;
    std::uint64_t remaining = content->size();
    do {
        const auto length = static_cast<DWORD>(std::min<std::uint64_t>(remaining, UINT32_MAX));
        contents.push_back(next);
        contentLengths.push_back(length);
        next += length;
        remaining -= length;
    } while (remaining > 0);
    const auto elements = static_cast<DWORD>(contents.size());

    HCRYPTPROV providerValue = 0;
    DWORD keySpec = 0;
    if (!CryptAcquireCertificatePrivateKey(signer.get(), 0, nullptr, &providerValue, &keySpec, nullptr)) {
        result.errorCode = GetLastError();
        result.diagnostic = LastCryptoDiagnostic();
        view.ShowMessage(kNoProviderText);
        result.outcome = SignOutcome::NoKey;
        return result;
    }
    ProviderHandle provider(providerValue);

    std::optional<ContentDigestScope> lentDigest;
    if (loadDigest && elements == 1)
        lentDigest.emplace(contents[0], contentLengths[0], loadDigest.get());
    DWORD length = 0;
    if (!CryptSignMessage(&para, detached ? TRUE : FALSE, elements, contents.data(), contentLengths.data(),
                          nullptr, &length)) {
        result.errorCode = GetLastError(); // read once, right after the call
        result.diagnostic = LastCryptoDiagnostic();
        view.ShowMessage(FailureMessage(result.errorCode));
        result.outcome = SignOutcome::FirstCallFailed;
        return result;
    }
    *signature = newByteBuffer(length);
    if (!CryptSignMessage(&para, detached ? TRUE : FALSE, elements, contents.data(), contentLengths.data(),
                          reinterpret_cast<BYTE*>(signature->data()), &length)) {
        result.errorCode = GetLastError();
        result.diagnostic = LastCryptoDiagnostic();
        view.ShowMessage(FailureMessage(result.errorCode));
        result.outcome = SignOutcome::SecondCallFailed;
        return result;
    }
    lentDigest.reset();
    // Shown before anything is written, so it appears even when saving then fails.
    view.ShowMessage(kSignedText);
    signature->resize(length);

    std::string signaturePath;
    if (view.Base64Checked()) {
        // The text goes into the file as it is made: an attached signature of a 300 MB file would
        // otherwise need a third buffer of 400 MB for it.
        signaturePath = input + ".p7s";
        AtomicFile file(signaturePath);
        Base64Encoder text(file);
        text.write(*signature);
        text.finish();
        file.commit();
    } else {
        signaturePath = input + ".sig";
        saveFileAtomically(signaturePath, *signature);
    }
    view.SignatureSaved(input, signaturePath);

    signature.reset();
    content.reset();
    view.ClearSelection();
    signer.reset();
    provider.reset();
    store.reset();
    view.OpenFolder(folderOf(signaturePath));
    result.outcome = SignOutcome::Success;
    result.signaturePath = signaturePath;
    return result;
}

} // namespace plombar::crypto

#include "SignOperation.h"

#include "CertificateStore.h"
#include "ContentDigest.h"
#include "CryptoHandles.h"
#include "CryptoInternal.h"
#include "GostRuntime.h"
#include "codec/Base64.h"
#include "platform/AtomicFile.h"
#include "platform/Errors.h"
#include "platform/Paths.h"
#include "platform/Streams.h"
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

namespace {

// Base64 text on its way into the signature file, a mebibyte at a time: an attached signature of a
// 300 MB file would otherwise need a third buffer of 400 MB for its text. Write failures raise the
// file's create error ("Cannot create file ..."), as a failed save of a memory stream does.
class FileTextWriter : public TStream {
public:
    explicit FileTextWriter(AtomicFile& file) : file_(file) { buffer_.reserve(kBufferSize); }

    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void* data, std::int64_t count) override {
        if (count <= 0)
            return 0;
        const auto size = static_cast<std::size_t>(count);
        if (buffer_.size() + size > kBufferSize)
            Flush();
        const auto* bytes = static_cast<const char*>(data);
        if (size >= kBufferSize)
            file_.WriteAll(bytes, size);
        else
            buffer_.insert(buffer_.end(), bytes, bytes + size);
        written_ += count;
        return count;
    }
    std::int64_t Seek(std::int64_t, SeekOrigin) override { return written_; }
    void SetSize(std::int64_t) override { throw StreamError("Stream write error"); }

    void Flush() {
        if (!buffer_.empty())
            file_.WriteAll(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

private:
    static constexpr std::size_t kBufferSize = std::size_t{1} << 20;
    AtomicFile& file_;
    std::vector<char> buffer_;
    std::int64_t written_ = 0;
};

} // namespace

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
    auto content = std::make_unique<TMemoryStream>();
    auto signature = std::make_unique<TMemoryStream>();

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
    const BYTE* next = content->Size() > 0 ? content->Memory() : &kEmpty;
    std::uint64_t remaining = static_cast<std::uint64_t>(content->Size());
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
    signature->SetSize(length);
    if (!CryptSignMessage(&para, detached ? TRUE : FALSE, elements, contents.data(), contentLengths.data(),
                          signature->Memory(), &length)) {
        result.errorCode = GetLastError();
        result.diagnostic = LastCryptoDiagnostic();
        view.ShowMessage(FailureMessage(result.errorCode));
        result.outcome = SignOutcome::SecondCallFailed;
        return result;
    }
    lentDigest.reset();
    // Shown before anything is written, so it appears even when saving then fails.
    view.ShowMessage(kSignedText);
    signature->SetSize(length);

    std::string signaturePath;
    if (view.Base64Checked()) {
        signaturePath = input + ".p7s";
        signature->SetPosition(0);
        AtomicFile file(signaturePath);
        FileTextWriter text(file);
        Base64EncodeStream(*signature, text);
        text.Flush();
        file.Commit();
    } else {
        signaturePath = input + ".sig";
        signature->SaveToFile(signaturePath);
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

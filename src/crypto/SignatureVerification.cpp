#include "SignatureVerification.h"

#include "CmsLayout.h"
#include "MessageFile.h"
#include "StreamSupport.h"
#include "platform/FileReader.h"
#include "platform/SystemErrors.h"

#include <algorithm>
#include <memory>

namespace plombar::crypto {

namespace {

// The message's digests, set up by OpenSSL from its digest algorithms before the content passes.
class ContentDigests {
public:
    explicit ContentDigests(const std::string& skeleton) : cms_(detail::decodeCms(skeleton)) {
        BioPtr sink(BIO_new(BIO_s_null()));
        if (!sink)
            raiseOpenSslError(CryptoFailure::Failed, winerr::NTE_NO_MEMORY, "no memory");
        BIO* chain = CMS_dataInit(cms_.get(), sink.get());
        if (chain == nullptr)
            raiseOpenSslError(CryptoFailure::UnsupportedAlgorithm, winerr::CRYPT_E_UNKNOWN_ALGO,
                              "the message's digest algorithm is not usable");
        sink.release(); // the chain owns it now
        chain_.reset(chain);
    }
    void add(std::span<const std::uint8_t> block) { detail::writeToBio(chain_.get(), block); }
    BIO* chain() const noexcept { return chain_.get(); }

private:
    CmsPtr cms_;
    BioPtr chain_;
};

// Whether the signer's digest algorithm names a digest (or, as some senders write it, a signature
// algorithm with one). OpenSSL does not refuse an unknown identifier there: without signed
// attributes it may pair it with a digest of the chain and report a match.
bool signerDigestKnown(CMS_SignerInfo* signer) {
    X509_ALGOR* digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digestAlgorithm, nullptr);
    const ASN1_OBJECT* object = nullptr;
    if (digestAlgorithm != nullptr)
        X509_ALGOR_get0(&object, nullptr, nullptr, digestAlgorithm);
    const int nid = object != nullptr ? OBJ_obj2nid(object) : NID_undef;
    if (nid == NID_undef)
        return false;
    int digestNid = NID_undef;
    return EVP_get_digestbynid(nid) != nullptr ||
           (OBJ_find_sigid_algs(nid, &digestNid, nullptr) == 1 && EVP_get_digestbynid(digestNid) != nullptr);
}

X509Ptr findSignerCertificate(CMS_SignerInfo* signer, STACK_OF(X509) * inMessage,
                              const std::vector<X509*>& extra) {
    for (int i = 0; i < sk_X509_num(inMessage); ++i) {
        X509* certificate = sk_X509_value(inMessage, i);
        if (CMS_SignerInfo_cert_cmp(signer, certificate) == 0 && X509_up_ref(certificate) == 1)
            return X509Ptr(certificate);
    }
    for (X509* certificate : extra)
        if (certificate != nullptr && CMS_SignerInfo_cert_cmp(signer, certificate) == 0 &&
            X509_up_ref(certificate) == 1)
            return X509Ptr(certificate);
    return nullptr;
}

std::optional<std::int64_t> signingTimeOf(CMS_SignerInfo* signer) {
    const int index = CMS_signed_get_attr_by_NID(signer, NID_pkcs9_signingTime, -1);
    if (index < 0)
        return std::nullopt;
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, index), 0);
    if (value == nullptr || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME))
        return std::nullopt;
    Asn1TimePtr epoch(ASN1_TIME_set(nullptr, 0));
    int days = 0;
    int seconds = 0;
    if (!epoch || ASN1_TIME_diff(&days, &seconds, epoch.get(), value->value.asn1_string) != 1) {
        ClearOpenSslErrors();
        return std::nullopt;
    }
    return std::int64_t{days} * 86400 + seconds;
}

SignerVerdict checkSigner(CMS_SignerInfo* signer, STACK_OF(X509) * certificates, const VerifyOptions& options,
                          BIO* digests) {
    SignerVerdict verdict;
    verdict.signingTime = signingTimeOf(signer);
    const auto refuse = [&](CryptoFailure failure, std::uint32_t code, const std::string& why) {
        verdict.failure = failure;
        verdict.code = code;
        const std::string reasons = TakeOpenSslErrors();
        verdict.reason = reasons.empty() ? why : why + " (" + reasons + ")";
        return std::move(verdict);
    };
    verdict.certificate = findSignerCertificate(signer, certificates, options.extraCertificates);
    if (!verdict.certificate)
        return refuse(CryptoFailure::SignerCertificateMissing, winerr::CRYPT_E_NOT_FOUND,
                      "the signer's certificate is neither in the message nor among the given ones");
    CMS_SignerInfo_set1_signer_cert(signer, verdict.certificate.get());
    if (!signerDigestKnown(signer))
        return refuse(CryptoFailure::UnsupportedAlgorithm, winerr::CRYPT_E_UNKNOWN_ALGO,
                      "the signer's digest algorithm is unknown");
    const bool hasSignedAttributes = CMS_signed_get_attr_count(signer) >= 0;
    if (hasSignedAttributes && CMS_SignerInfo_verify(signer) != 1)
        return refuse(CryptoFailure::BadSignature, winerr::NTE_BAD_SIGNATURE,
                      "the signature over the signed attributes does not match");
    if (CMS_SignerInfo_verify_content(signer, digests) != 1) {
        if (hasSignedAttributes)
            return refuse(CryptoFailure::BadSignature, winerr::CRYPT_E_HASH_VALUE,
                          "the content's digest differs from the signed one");
        return refuse(CryptoFailure::BadSignature, winerr::NTE_BAD_SIGNATURE,
                      "the signature does not match the content");
    }
    ClearOpenSslErrors();
    verdict.valid = true;
    return verdict;
}

// The first `limit` bytes of a file, then its end.
class FileStart final : public ByteSource {
public:
    FileStart(const std::string& path, std::uint64_t limit) : file_(path), left_(limit) {}
    std::size_t read(std::span<std::uint8_t> buffer) override {
        const std::size_t n =
            file_.read(buffer.first(static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left_))));
        left_ -= n;
        return n;
    }

private:
    FileReader file_;
    std::uint64_t left_;
};

// More than what is read before the content: the BerReader hands over at most 16 MiB of elements,
// Base64 text is a third longer, and a PEM armour may stand after 64 KiB of other text.
constexpr std::uint64_t kAttachedProbeLimit = std::uint64_t{32} << 20;

} // namespace

bool isAttachedSignatureFile(const std::string& path) noexcept {
    try {
        // Only the file's start is given to MessageFile: a binary file whose first line holds "MI"
        // is then taken for Base64 and fails here, but such a file has already been read as the
        // binary message it is (or is none) in the first step.
        {
            FileStart start(path, kAttachedProbeLimit);
            BerReader reader(start);
            try {
                return SignedDataInput(reader).hasContent();
            } catch (const CryptoError&) {
            }
        }
        MessageFile file([&path] { return std::make_unique<FileStart>(path, kAttachedProbeLimit); },
                         MessageKind::Signed);
        BerReader reader(file.message());
        return SignedDataInput(reader).hasContent();
    } catch (...) {
        return false;
    }
}

bool VerificationResult::allValid() const noexcept {
    if (signers.empty())
        return false;
    for (const SignerVerdict& signer : signers)
        if (!signer.valid)
            return false;
    return true;
}

VerificationResult verifySignature(ByteSource& signature, const VerifyOptions& options, Progress& progress) {
    detail::requireGostEngine();
    BerReader reader(signature);
    SignedDataInput message(reader);
    VerificationResult result;
    result.attached = message.hasContent();
    if (options.data == nullptr && !message.hasContent())
        throw CryptoError(CryptoFailure::ContentMissing, winerr::CRYPT_E_MSG_ERROR,
                          "the signature is detached: the signed data is needed to check it");

    ContentDigests digests(message.digestSkeleton());
    if (options.data == nullptr) {
        detail::streamAll(message.content(), progress, [&](std::span<const std::uint8_t> block) {
            digests.add(block);
            if (options.contentOut != nullptr)
                options.contentOut->write(block);
        });
    }
    message.finish();
    if (options.data != nullptr)
        detail::streamAll(*options.data, progress,
                          [&](std::span<const std::uint8_t> block) { digests.add(block); });

    const CmsPtr cms = detail::decodeCms(message.withoutContent());
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (sk_CMS_SignerInfo_num(signers) <= 0)
        throw CryptoError(CryptoFailure::NoSigner, winerr::CRYPT_E_NO_SIGNER, "the message has no signer");
    const X509StackPtr certificates(CMS_get1_certs(cms.get()));
    ClearOpenSslErrors();
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i)
        result.signers.push_back(
            checkSigner(sk_CMS_SignerInfo_value(signers, i), certificates.get(), options, digests.chain()));
    for (int i = 0; i < sk_X509_num(certificates.get()); ++i) {
        X509* certificate = sk_X509_value(certificates.get(), i);
        if (X509_up_ref(certificate) == 1)
            result.certificates.emplace_back(certificate);
    }
    return result;
}

} // namespace plombar::crypto

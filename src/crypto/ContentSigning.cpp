#include "ContentSigning.h"

#include "CmsLayout.h"
#include "CryptoError.h"
#include "StreamSupport.h"
#include "platform/SystemErrors.h"

namespace plombar::crypto {

using detail::streamExactly;

namespace {

// An ECDSA signature varies in length; the attached message's lengths were fixed beforehand, so it
// is signed again until it fits (GOST and RSA signatures have one length and fit at once).
constexpr int kSigningAttempts = 64;

// GOST keys sign with exactly one hash each; the engine would otherwise fail late and vaguely.
int requiredDigestNid(EVP_PKEY* key) {
    switch (EVP_PKEY_get_base_id(key)) {
    case NID_id_GostR3410_2001:
        return NID_id_GostR3411_94;
    case NID_id_GostR3410_2012_256:
        return NID_id_GostR3411_2012_256;
    case NID_id_GostR3410_2012_512:
        return NID_id_GostR3411_2012_512;
    default:
        return NID_undef;
    }
}

// One signed message under construction, its content hashed through OpenSSL's digest chain.
class SignedMessage {
public:
    SignedMessage(const SigningIdentity& signer, const EVP_MD* md, const SignOptions& options,
                  std::time_t now)
        : attributes_(options.attributes == SignedAttributes::CadesBes) {
        // Binary: no CR LF canonicalisation. Without attributes the signature covers the digest only.
        unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_DETACHED;
        flags |= attributes_ ? CMS_NOSMIMECAP | CMS_CADES : CMS_NOATTR;
        cms_.reset(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
        if (!cms_)
            raiseOpenSslError(CryptoFailure::Failed, winerr::NTE_NO_MEMORY,
                              "the signed message cannot be created");
        signerInfo_ = CMS_add1_signer(cms_.get(), signer.certificate, signer.key, md, flags);
        if (signerInfo_ == nullptr)
            raiseOpenSslError(CryptoFailure::UnsupportedAlgorithm, winerr::NTE_BAD_ALGID,
                              "the hash algorithm cannot be used with this key");
        if (attributes_) {
            // Stated once, so that the message signed over nothing for its lengths has the same.
            Asn1TimePtr time(ASN1_TIME_set(nullptr, now));
            if (!time || CMS_signed_add1_attr_by_NID(signerInfo_, NID_pkcs9_signingTime, time->type,
                                                     time.get(), -1) != 1)
                raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                                  "the signing time cannot be added");
        }
        BioPtr sink(BIO_new(BIO_s_null()));
        if (!sink)
            raiseOpenSslError(CryptoFailure::Failed, winerr::NTE_NO_MEMORY, "no memory");
        BIO* chain = CMS_dataInit(cms_.get(), sink.get());
        if (chain == nullptr)
            raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                              "the message cannot be started");
        sink.release(); // the chain owns it now
        chain_.reset(chain);
    }

    void hash(std::span<const std::uint8_t> block) { detail::writeToBio(chain_.get(), block); }

    void sign() {
        if (CMS_dataFinal(cms_.get(), chain_.get()) != 1)
            raiseOpenSslError(CryptoFailure::UnsupportedAlgorithm, winerr::NTE_BAD_ALGID,
                              "the message cannot be signed");
    }

    // Signs the same digest (and attributes) once more; the signature value changes only.
    void signAgain() {
        const int ok =
            attributes_ ? CMS_SignerInfo_sign(signerInfo_) : CMS_dataFinal(cms_.get(), chain_.get());
        if (ok != 1)
            raiseOpenSslError(CryptoFailure::UnsupportedAlgorithm, winerr::NTE_BAD_ALGID,
                              "the message cannot be signed");
    }

    std::string detachedDer() const { return detail::encodeCms(cms_.get()); }

    // The message with an empty content attached: OpenSSL's layout of the attached message.
    std::string attachedEmptyDer() {
        ASN1_OCTET_STRING** slot = CMS_get0_content(cms_.get());
        if (CMS_set_detached(cms_.get(), 0) != 1 || slot == nullptr || *slot == nullptr)
            raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                              "the content cannot be put into the message");
        (*slot)->flags &= ~ASN1_STRING_FLAG_CONT;
        std::string der = detail::encodeCms(cms_.get());
        CMS_set_detached(cms_.get(), 1);
        return der;
    }

private:
    bool attributes_;
    CmsPtr cms_;
    CMS_SignerInfo* signerInfo_ = nullptr; // owned by cms_
    BioPtr chain_;
};

} // namespace

const EVP_MD* digestForHashOid(std::string_view oid) {
    if (oid.empty() || oid.find('\0') != std::string_view::npos)
        return nullptr;
    const std::string text(oid);
    Asn1ObjectPtr object(OBJ_txt2obj(text.c_str(), 1));
    if (!object || DottedOid(object.get()) != text) {
        ClearOpenSslErrors();
        return nullptr;
    }
    const int nid = OBJ_obj2nid(object.get());
    const EVP_MD* md = nid != NID_undef ? EVP_get_digestbynid(nid) : nullptr;
    ClearOpenSslErrors();
    return md;
}

void signContent(ByteSource& content, std::uint64_t contentSize, const SigningIdentity& signer,
                 const SignOptions& options, ByteSink& output, Progress& progress) {
    detail::requireGostEngine();
    if (signer.certificate == nullptr || signer.key == nullptr)
        throw CryptoError(CryptoFailure::Failed, winerr::E_INVALIDARG, "no signer certificate or no key");
    const EVP_MD* md = digestForHashOid(options.hashOid);
    if (md == nullptr)
        throw CryptoError(CryptoFailure::UnsupportedAlgorithm, winerr::CRYPT_E_UNKNOWN_ALGO,
                          "unknown hash algorithm identifier \"" + options.hashOid + "\"");
    const int required = requiredDigestNid(signer.key);
    if (required != NID_undef && EVP_MD_get_type(md) != required)
        throw CryptoError(CryptoFailure::UnsupportedAlgorithm, winerr::NTE_BAD_ALGID,
                          std::string("the key signs with ") + OBJ_nid2sn(required) + ", not with " +
                              OBJ_nid2sn(EVP_MD_get_type(md)));
    const std::time_t now = options.signingTime != 0 ? options.signingTime : std::time(nullptr);

    SignedMessage message(signer, md, options, now);
    if (options.layout == SignatureLayout::Detached) {
        streamExactly(content, contentSize, progress,
                      [&](std::span<const std::uint8_t> block) { message.hash(block); });
        message.sign();
        output.write(message.detachedDer());
        return;
    }

    // Attached: everything after the content (certificates, signer info) has the same length as in
    // the same message signed over nothing, so the lengths before the content are known now.
    std::string head;
    std::size_t tailSize = 0;
    {
        SignedMessage sizing(signer, md, options, now);
        sizing.sign();
        const StreamedLayout layout(sizing.attachedEmptyDer(), kSignedContentPath);
        head = layout.head(contentSize);
        tailSize = layout.tail().size();
    }
    output.write(head);
    streamExactly(content, contentSize, progress, [&](std::span<const std::uint8_t> block) {
        message.hash(block);
        output.write(block);
    });
    message.sign();
    for (int attempt = 1;; ++attempt) {
        const StreamedLayout layout(message.attachedEmptyDer(), kSignedContentPath);
        if (layout.tail().size() == tailSize && layout.head(contentSize) == head) {
            output.write(layout.tail());
            return;
        }
        if (attempt == kSigningAttempts)
            throw CryptoError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                              "the signature does not keep the length the message was started with");
        message.signAgain();
    }
}

} // namespace plombar::crypto

#include "ContentEncryption.h"

#include "CmsLayout.h"
#include "ContentCipher.h"
#include "CryptoError.h"
#include "StreamSupport.h"
#include "platform/SystemErrors.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace plombar::crypto {

namespace {

constexpr std::uint32_t kOctetString = 4;
constexpr std::uint32_t kObjectIdentifier = 6;
constexpr std::uint32_t kSequence = 16;

// The MAC attribute of Magma and Kuznyechik CTR-ACPKM-OMAC content (TC26).
constexpr const char* kContentMacOid = "1.2.643.7.1.0.6.1.1";

void freeAttributes(STACK_OF(X509_ATTRIBUTE) * attributes) noexcept {
    sk_X509_ATTRIBUTE_pop_free(attributes, X509_ATTRIBUTE_free);
}
using AttributesPtr = std::unique_ptr<STACK_OF(X509_ATTRIBUTE), OpenSslDeleter<freeAttributes>>;

bool isGostKey(const EVP_PKEY* key) {
    const int id = key != nullptr ? EVP_PKEY_get_base_id(key) : NID_undef;
    return id == NID_id_GostR3410_2001 || id == NID_id_GostR3410_2012_256 || id == NID_id_GostR3410_2012_512;
}

BioPtr nullSink() {
    BioPtr sink(BIO_new(BIO_s_null()));
    if (!sink)
        raiseOpenSslError(CryptoFailure::Failed, winerr::NTE_NO_MEMORY, "no memory");
    return sink;
}

// CMS_dataInit on a null sink: the ciphertext or plaintext never goes through the chain's end, the
// cipher context is driven directly.
BioPtr startContent(CMS_ContentInfo* cms, CryptoFailure kind, std::uint32_t code, const char* what) {
    BioPtr sink = nullSink();
    BIO* chain = CMS_dataInit(cms, sink.get());
    if (chain == nullptr)
        raiseOpenSslError(kind, code, what);
    sink.release(); // the chain owns it now
    return BioPtr(chain);
}

EVP_CIPHER_CTX* cipherOf(BIO* chain) {
    EVP_CIPHER_CTX* ctx = nullptr;
    BIO* cipherBio = BIO_find_type(chain, BIO_TYPE_CIPHER);
    if (cipherBio == nullptr || BIO_get_cipher_ctx(cipherBio, &ctx) != 1 || ctx == nullptr)
        raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                          "the content cipher cannot be prepared");
    return ctx;
}

// Runs the cipher over one block and writes what comes out; returns how much that was.
std::size_t cipherBlock(EVP_CIPHER_CTX* ctx, std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out,
                        ByteSink& output, CryptoFailure kind, std::uint32_t code) {
    out.resize(in.size() + EVP_MAX_BLOCK_LENGTH);
    int produced = 0;
    if (EVP_CipherUpdate(ctx, out.data(), &produced, in.data(), static_cast<int>(in.size())) != 1 ||
        produced < 0)
        raiseOpenSslError(kind, code, "the content cannot be run through the cipher");
    output.write(std::span<const std::uint8_t>(out.data(), static_cast<std::size_t>(produced)));
    return static_cast<std::size_t>(produced);
}

// The message with an empty encrypted content: OpenSSL's layout of the whole message.
std::string withEmptyContent(CMS_ContentInfo* cms) {
    ASN1_OCTET_STRING** slot = CMS_get0_content(cms);
    if (CMS_set_detached(cms, 0) != 1 || slot == nullptr || *slot == nullptr)
        raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR, "the message cannot be laid out");
    (*slot)->flags &= ~ASN1_STRING_FLAG_CONT;
    std::string der = detail::encodeCms(cms);
    CMS_set_detached(cms, 1);
    return der;
}

// ---------------------------------------------------------------------------------------------
// Fields the GOST engine reads without checking them: looked at before a key is asked for or the
// engine sees them, since some malformed ones would crash it.

bool isPrimitive(const BerElement& element, std::uint8_t cls, std::uint32_t tag) {
    return element.header.is(cls, tag, false);
}

bool isSequence(const BerElement& element) {
    return element.header.isUniversal(kSequence, true);
}

// The UKM of the CTR-ACPKM ciphers' parameters, { ukm OCTET STRING }: the IV (the counter block's
// first half) and an 8-byte seed from which the -omac variants derive their keys.
struct UkmLength {
    int nid;
    std::size_t bytes;
};
constexpr UkmLength kCtrAcpkmUkmLengths[] = {
    {NID_magma_ctr_acpkm, 12},
    {NID_magma_ctr_acpkm_omac, 12},
    {NID_kuznyechik_ctr_acpkm, 16},
    {NID_kuznyechik_ctr_acpkm_omac, 16},
};

bool namesObject(const BerElement& element, int nid) {
    const ASN1_OBJECT* object = OBJ_nid2obj(nid);
    return isPrimitive(element, kUniversalClass, kObjectIdentifier) &&
           element.content ==
               std::string_view(reinterpret_cast<const char*>(OBJ_get0_data(object)), OBJ_length(object));
}

// The content cipher's parameters in the form the GOST engine reads them, since it does not check
// them: GOST 28147-89 { iv OCTET STRING (8), paramSet OBJECT IDENTIFIER }; Magma and Kuznyechik
// CTR-ACPKM { ukm OCTET STRING } (absent parameters would crash the engine, and a Magma UKM of
// another length would decrypt with a zero IV). Other ciphers get OpenSSL's own checks.
bool contentParametersReadable(const std::string& algorithm) {
    try {
        const std::vector<BerElement> fields = readBerChildren(algorithm);
        if (fields.empty())
            return false;
        std::vector<BerElement> parameters;
        const bool sequenceOfParameters = fields.size() == 2 && isSequence(fields[1]);
        if (sequenceOfParameters)
            parameters = readBerChildren(fields[1].bytes);
        for (const UkmLength& ukm : kCtrAcpkmUkmLengths)
            if (namesObject(fields[0], ukm.nid))
                return sequenceOfParameters && parameters.size() == 1 &&
                       isPrimitive(parameters[0], kUniversalClass, kOctetString) &&
                       parameters[0].content.size() == ukm.bytes;
        if (!namesObject(fields[0], NID_id_Gost28147_89))
            return true;
        if (!sequenceOfParameters || parameters.size() != 2 ||
            !isPrimitive(parameters[0], kUniversalClass, kOctetString) || parameters[0].content.size() != 8 ||
            !isPrimitive(parameters[1], kUniversalClass, kObjectIdentifier))
            return false;
        const auto* p = reinterpret_cast<const unsigned char*>(parameters[1].bytes.data());
        Asn1ObjectPtr paramSet(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(parameters[1].bytes.size())));
        ClearOpenSslErrors();
        return paramSet != nullptr;
    } catch (const CryptoError&) {
        return false;
    }
}

// Whether a KeyTransRecipientInfo's recipient identifier names this certificate.
bool namesCertificate(const BerElement& rid, X509* certificate) {
    if (isPrimitive(rid, kContextClass, 0)) {
        const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(certificate);
        return keyId != nullptr &&
               std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(keyId)),
                                static_cast<std::size_t>(ASN1_STRING_length(keyId))) == rid.content;
    }
    if (!isSequence(rid))
        return false;
    const std::vector<BerElement> parts = readBerChildren(rid.bytes);
    if (parts.size() != 2)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(parts[0].bytes.data());
    X509NamePtr issuer(d2i_X509_NAME(nullptr, &p, static_cast<long>(parts[0].bytes.size())));
    p = reinterpret_cast<const unsigned char*>(parts[1].bytes.data());
    Asn1IntegerPtr serial(d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(parts[1].bytes.size())));
    ClearOpenSslErrors();
    return issuer && serial && X509_NAME_cmp(issuer.get(), X509_get_issuer_name(certificate)) == 0 &&
           ASN1_INTEGER_cmp(serial.get(), X509_get0_serialNumber(certificate)) == 0;
}

// A GOST key transport block in one of the two forms the engine reads: GostR3410-KeyTransport
// { { encryptedKey (32), macKey (4) }, [0] { paramSet, [0] ephemeralKey OPTIONAL, ukm (8) } }, whose
// lengths the engine asserts (a wrong one would abort the process), or the 2018 form
// { exportedKey, ephemeralKey, ukm OPTIONAL }, whose ephemeral key it uses without checking.
bool gostKeyBlockReadable(std::string_view block) {
    const BerElement outer = readBerElement(block);
    if (!isSequence(outer))
        return false;
    const std::vector<BerElement> parts = readBerChildren(outer.bytes);
    if (parts.size() < 2)
        return false;
    if (isSequence(parts[0])) {
        if (parts.size() != 2 || !parts[1].header.is(kContextClass, 0, true))
            return false;
        const std::vector<BerElement> key = readBerChildren(parts[0].bytes);
        const std::vector<BerElement> agreement = readBerChildren(parts[1].bytes);
        return key.size() == 2 && isPrimitive(key[0], kUniversalClass, kOctetString) &&
               key[0].content.size() == 32 && isPrimitive(key[1], kUniversalClass, kOctetString) &&
               key[1].content.size() == 4 && (agreement.size() == 2 || agreement.size() == 3) &&
               isPrimitive(agreement.front(), kUniversalClass, kObjectIdentifier) &&
               (agreement.size() == 2 || agreement[1].header.isContext(0)) &&
               isPrimitive(agreement.back(), kUniversalClass, kOctetString) &&
               agreement.back().content.size() == 8;
    }
    if (isPrimitive(parts[0], kUniversalClass, kOctetString) && isSequence(parts[1])) {
        const auto* p = reinterpret_cast<const unsigned char*>(parts[1].bytes.data());
        EvpPkeyPtr ephemeral(d2i_PUBKEY(nullptr, &p, static_cast<long>(parts[1].bytes.size())));
        ClearOpenSslErrors();
        return ephemeral != nullptr;
    }
    return false;
}

// Every KeyTransRecipientInfo for the certificate carries a key block the engine can read safely.
bool gostKeyTransportReadable(const std::string& recipientInfos, X509* certificate) {
    try {
        for (const BerElement& info : readBerChildren(recipientInfos)) {
            if (!isSequence(info))
                continue; // not key transport
            const std::vector<BerElement> fields = readBerChildren(info.bytes);
            if (fields.size() != 4)
                return false;
            if (namesCertificate(fields[1], certificate) &&
                (!isPrimitive(fields[3], kUniversalClass, kOctetString) ||
                 !gostKeyBlockReadable(fields[3].content)))
                return false;
        }
        return true;
    } catch (const CryptoError&) {
        return false;
    }
}

// ---------------------------------------------------------------------------------------------

// Key agreement with the GOST engine: KExp15 key wrap (R 1323565.1.026-2019) only; the older GOST
// 28147-89 key wraps of key agreement recipients are not in the engine.
bool keyAgreementSupported(CMS_RecipientInfo* info) {
    X509_ALGOR* wrap = nullptr;
    ASN1_OCTET_STRING* ukm = nullptr;
    if (CMS_RecipientInfo_kari_get0_alg(info, &wrap, &ukm) != 1 || wrap == nullptr)
        return false;
    const int nid = OBJ_obj2nid(wrap->algorithm);
    return nid == NID_magma_kexp15 || nid == NID_kuznyechik_kexp15;
}

// The sender of a key agreement recipient: nothing needed when the message carries its public key
// (originatorKey); else the certificate among `originators` that the recipient names.
struct Originator {
    bool found = false;
    X509* certificate = nullptr; // borrowed; null with `found` when the message carries the key
};

Originator originatorOf(CMS_RecipientInfo* info, std::span<X509* const> originators) {
    X509_ALGOR* algorithm = nullptr;
    ASN1_BIT_STRING* publicKey = nullptr;
    ASN1_OCTET_STRING* keyId = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (CMS_RecipientInfo_kari_get0_orig_id(info, &algorithm, &publicKey, &keyId, &issuer, &serial) != 1)
        return {};
    if (publicKey != nullptr)
        return {true, nullptr};
    for (X509* certificate : originators)
        if (certificate != nullptr && CMS_RecipientInfo_kari_orig_id_cmp(info, certificate) == 0)
            return {true, certificate};
    return {};
}

// A candidate that a recipient info names, in the order they are tried.
struct Recipient {
    std::size_t candidate = 0;
    bool agreement = false; // named by a key agreement recipient (KExp15)
    Originator originator;  // for key agreement
};

// The candidates that key transport recipients, and key agreement recipients the engine can
// decrypt, name. None: says whether the candidates are recipients of a kind that cannot be
// decrypted, or of none at all.
std::vector<Recipient> findRecipients(CMS_ContentInfo* cms, std::span<const DecryptionCandidate> candidates,
                                      std::span<X509* const> originators) {
    std::vector<Recipient> found;
    auto listed = [&found](std::size_t c) {
        return std::find_if(found.begin(), found.end(),
                            [c](const Recipient& r) { return r.candidate == c; }) != found.end();
    };
    bool otherKindMatches = false;
    bool originatorMissing = false;
    bool certificateRecipients = false;
    STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms);
    for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
        CMS_RecipientInfo* info = sk_CMS_RecipientInfo_value(infos, i);
        const int type = CMS_RecipientInfo_type(info);
        if (type == CMS_RECIPINFO_TRANS) {
            certificateRecipients = true;
            for (std::size_t c = 0; c < candidates.size(); ++c)
                if (candidates[c].certificate != nullptr &&
                    CMS_RecipientInfo_ktri_cert_cmp(info, candidates[c].certificate) == 0 && !listed(c))
                    found.push_back({c, false, {}});
        } else if (type == CMS_RECIPINFO_AGREE) {
            certificateRecipients = true;
            const bool supported = keyAgreementSupported(info);
            STACK_OF(CMS_RecipientEncryptedKey)* keys = CMS_RecipientInfo_kari_get0_reks(info);
            for (int k = 0; k < sk_CMS_RecipientEncryptedKey_num(keys); ++k)
                for (std::size_t c = 0; c < candidates.size(); ++c) {
                    if (candidates[c].certificate == nullptr ||
                        CMS_RecipientEncryptedKey_cert_cmp(sk_CMS_RecipientEncryptedKey_value(keys, k),
                                                           candidates[c].certificate) != 0)
                        continue;
                    const Originator originator = supported ? originatorOf(info, originators) : Originator{};
                    if (!supported)
                        otherKindMatches = true;
                    else if (!originator.found)
                        originatorMissing = true;
                    else if (!listed(c))
                        found.push_back({c, true, originator});
                }
        }
    }
    ClearOpenSslErrors();
    if (found.empty()) {
        if (originatorMissing)
            throw CryptoError(CryptoFailure::UnsupportedRecipient, winerr::CRYPT_E_NO_DECRYPT_CERT,
                              "the message is for a key agreement recipient, and the sender's certificate "
                              "that the agreement needs is neither in the message nor given");
        if (otherKindMatches || (!certificateRecipients && sk_CMS_RecipientInfo_num(infos) > 0))
            throw CryptoError(
                CryptoFailure::UnsupportedRecipient, winerr::CRYPT_E_NO_DECRYPT_CERT,
                "the message is for a recipient of a kind that cannot be decrypted here "
                "(key agreement with a key wrap other than KExp15, a shared key or a password)");
        throw CryptoError(CryptoFailure::NoRecipient, winerr::CRYPT_E_NO_DECRYPT_CERT,
                          "no certificate with a private key matches a recipient of the message");
    }
    return found;
}

// Makes OpenSSL report a key that does not open the content key, instead of decrypting with a
// random key as its countermeasure against padding oracles does (GOST key transport has a MAC of
// its own, so there is nothing to hide). That call only records the flag, but it wants the content
// present, so the structure gets an empty one meanwhile.
void requestHonestDecryption(CMS_ContentInfo* cms) {
    const bool ok = CMS_set_detached(cms, 0) == 1 &&
                    CMS_decrypt(cms, nullptr, nullptr, nullptr, nullptr, CMS_DEBUG_DECRYPT) == 1;
    CMS_set_detached(cms, 1);
    if (!ok)
        raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                          "the message cannot be prepared for decryption");
    ClearOpenSslErrors();
}

// The MAC length of a content cipher whose MAC travels in the unprotected attributes (after the
// content), or 0.
std::size_t contentMacSize(const std::string& algorithm) {
    try {
        const std::vector<BerElement> fields = readBerChildren(algorithm);
        if (fields.empty())
            return 0;
        const auto* p = reinterpret_cast<const unsigned char*>(fields[0].bytes.data());
        Asn1ObjectPtr object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(fields[0].bytes.size())));
        ClearOpenSslErrors();
        const int nid = object ? OBJ_obj2nid(object.get()) : NID_undef;
        return nid == NID_magma_ctr_acpkm_omac ? 8 : nid == NID_kuznyechik_ctr_acpkm_omac ? 16 : 0;
    } catch (const CryptoError&) {
        return 0;
    }
}

// OpenSSL hands the expected MAC to the cipher when the content starts, but it comes after the
// content: the structure gets a MAC attribute of the right length to start with, and the real one
// is handed over before the cipher's final check.
std::string placeholderMacAttributes(std::size_t macSize) {
    Asn1ObjectPtr oid(OBJ_txt2obj(kContentMacOid, 1));
    const std::string encodedOid =
        EncodeDer(oid.get(), [](const ASN1_OBJECT* o, unsigned char** p) { return i2d_ASN1_OBJECT(o, p); });
    const std::string value = derElement(0x04, std::string(macSize, '\0'));
    return derElement(0xA1, derElement(0x30, encodedOid + derElement(0x31, value)));
}

AttributesPtr decodeAttributes(const std::string& element) {
    AttributesPtr attributes(sk_X509_ATTRIBUTE_new_null());
    if (!attributes)
        raiseOpenSslError(CryptoFailure::Failed, winerr::NTE_NO_MEMORY, "no memory");
    if (element.empty())
        return attributes;
    for (const BerElement& child : readBerChildren(element)) {
        const auto* p = reinterpret_cast<const unsigned char*>(child.bytes.data());
        X509_ATTRIBUTE* attribute = d2i_X509_ATTRIBUTE(nullptr, &p, static_cast<long>(child.bytes.size()));
        if (attribute == nullptr || sk_X509_ATTRIBUTE_push(attributes.get(), attribute) <= 0) {
            X509_ATTRIBUTE_free(attribute);
            raiseOpenSslError(CryptoFailure::BadMessage, winerr::CRYPT_E_ASN1_BADTAG,
                              "the unprotected attributes are damaged");
        }
    }
    return attributes;
}

// Unlocks the candidate's key and opens the content key with it; the reason when it does not.
std::optional<CryptoError> openWith(CMS_ContentInfo* cms, const DecryptionCandidate& candidate,
                                    const Recipient& recipient, const std::string& recipientInfos) {
    X509* certificate = candidate.certificate;
    // Checked before a password is asked: a damaged block would never open anyway.
    if (isGostKey(X509_get0_pubkey(certificate)) && !gostKeyTransportReadable(recipientInfos, certificate)) {
        ClearOpenSslErrors();
        return CryptoError(CryptoFailure::WrongKey, winerr::NTE_BAD_DATA,
                           "the key transport block for this recipient is damaged");
    }
    EvpPkeyPtr key;
    try {
        if (candidate.unlockKey)
            key = candidate.unlockKey();
    } catch (const CryptoError& error) {
        if (error.kind() == CryptoFailure::Cancelled)
            throw;
        return error;
    }
    if (!key)
        return CryptoError(CryptoFailure::KeyUnavailable, winerr::CRYPT_E_NO_KEY_PROPERTY,
                           "the certificate has no usable private key");
    // With the certificate given, only its own recipient info is tried; a key agreement takes the
    // sender's key as its peer.
    if (CMS_decrypt_set1_pkey_and_peer(cms, key.get(), certificate,
                                       recipient.agreement ? recipient.originator.certificate : nullptr) != 1)
        return CryptoError(CryptoFailure::WrongKey, winerr::NTE_BAD_DATA,
                           "the private key does not open the message's content key", TakeOpenSslErrors());
    return std::nullopt;
}

} // namespace

void encryptContent(ByteSource& content, std::uint64_t contentSize, X509* recipient, ByteSink& output,
                    Progress& progress) {
    detail::requireGostEngine();
    if (recipient == nullptr)
        throw CryptoError(CryptoFailure::Failed, winerr::E_INVALIDARG, "no recipient");
    if (!isGostKey(X509_get0_pubkey(recipient))) {
        // The recipient's key algorithm names the content cipher, and only GOST keys name one.
        ASN1_OBJECT* keyAlgorithm = nullptr;
        X509_PUBKEY_get0_param(&keyAlgorithm, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(recipient));
        ClearOpenSslErrors();
        throw CryptoError(CryptoFailure::UnsupportedAlgorithm, winerr::CRYPT_E_UNKNOWN_ALGO,
                          "no content cipher for the identifier \"" +
                              (keyAlgorithm != nullptr ? DottedOid(keyAlgorithm) : std::string()) + "\"");
    }
    const EVP_CIPHER* cipher = EVP_get_cipherbynid(NID_id_Gost28147_89);
    if (cipher == nullptr)
        raiseOpenSslError(CryptoFailure::UnsupportedAlgorithm, winerr::CRYPT_E_UNKNOWN_ALGO,
                          "GOST 28147-89 is not available");

    // Binary: no CR LF canonicalisation. Detached while it is built: the content goes out directly.
    CmsPtr cms(CMS_encrypt(nullptr, nullptr, cipher, CMS_BINARY | CMS_PARTIAL | CMS_DETACHED));
    if (!cms)
        raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                          "the enveloped message cannot be created");
    // The GOST engine's key transport needs the key context that OpenSSL only prepares early under
    // CMS_KEY_PARAM.
    CMS_RecipientInfo* info = CMS_add1_recipient_cert(cms.get(), recipient, CMS_KEY_PARAM);
    if (info == nullptr)
        raiseOpenSslError(CryptoFailure::UnsupportedAlgorithm, winerr::NTE_BAD_ALGID,
                          "the recipient's key cannot take the content key");
    if (CMS_RecipientInfo_type(info) != CMS_RECIPINFO_TRANS)
        throw CryptoError(CryptoFailure::UnsupportedAlgorithm, winerr::NTE_BAD_ALGID,
                          "the recipient's key does not allow key transport");
    // Makes the content key, sends it to the recipient and keys the cipher.
    const BioPtr chain = startContent(cms.get(), CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                                      "the content key cannot be sent to the recipient");
    EVP_CIPHER_CTX* ctx = cipherOf(chain.get());

    // CFB keeps the length, and nothing after the ciphertext changes: the lengths are known now.
    const StreamedLayout layout(withEmptyContent(cms.get()), kEnvelopedContentPath);
    const std::string head = layout.head(contentSize);
    output.write(head);
    std::vector<std::uint8_t> out;
    std::uint64_t produced = 0;
    detail::streamExactly(content, contentSize, progress, [&](std::span<const std::uint8_t> block) {
        produced += cipherBlock(ctx, block, out, output, CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR);
    });
    out.resize(EVP_MAX_BLOCK_LENGTH);
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx, out.data(), &tail) != 1 || tail != 0 || produced != contentSize ||
        CMS_dataFinal(cms.get(), chain.get()) != 1)
        raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                          "the content cannot be encrypted");
    const StreamedLayout finished(withEmptyContent(cms.get()), kEnvelopedContentPath);
    if (finished.head(contentSize) != head || finished.tail() != layout.tail())
        throw CryptoError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                          "the message changed after its lengths were written");
    output.write(layout.tail());
}

DecryptionResult decryptMessage(ByteSource& message, std::span<const DecryptionCandidate> candidates,
                                ByteSink& output, Progress& progress) {
    return decryptMessage(message, candidates, {}, output, progress);
}

DecryptionResult decryptMessage(ByteSource& message, std::span<const DecryptionCandidate> candidates,
                                std::span<X509* const> originators, ByteSink& output, Progress& progress) {
    detail::requireGostEngine();
    BerReader reader(message);
    EnvelopedDataInput envelope(reader);
    if (!envelope.hasContent())
        throw CryptoError(CryptoFailure::ContentMissing, winerr::CRYPT_E_MSG_ERROR,
                          "the message carries no encrypted content");
    const std::size_t macSize = contentMacSize(envelope.contentAlgorithm());
    const CmsPtr cms = detail::decodeCms(
        envelope.withoutContent(macSize > 0 ? placeholderMacAttributes(macSize) : std::string()));
    // The sender of a key agreement: given, in the message's originator information, or a candidate.
    std::vector<X509*> senders(originators.begin(), originators.end());
    const X509StackPtr carried(CMS_get1_certs(cms.get()));
    for (int i = 0; carried && i < sk_X509_num(carried.get()); ++i)
        senders.push_back(sk_X509_value(carried.get(), i));
    for (const DecryptionCandidate& candidate : candidates)
        senders.push_back(candidate.certificate);
    ClearOpenSslErrors();
    const std::vector<Recipient> order = findRecipients(cms.get(), candidates, senders);
    if (!contentParametersReadable(envelope.contentAlgorithm()))
        throw CryptoError(CryptoFailure::WrongKey, winerr::NTE_BAD_DATA,
                          "the message's content cipher parameters are damaged");
    requestHonestDecryption(cms.get());

    std::optional<CryptoError> failure;
    std::optional<std::size_t> chosen;
    for (const Recipient& recipient : order) {
        failure = openWith(cms.get(), candidates[recipient.candidate], recipient, envelope.recipientInfos());
        if (!failure) {
            chosen = recipient.candidate;
            break;
        }
    }
    if (!chosen)
        throw *failure;

    const BioPtr chain = startContent(cms.get(), CryptoFailure::WrongKey, winerr::NTE_BAD_DATA,
                                      "the content cipher cannot be prepared");
    EVP_CIPHER_CTX* ctx = cipherOf(chain.get());
    if (!detail::UseCmsSectionLength(ctx))
        raiseOpenSslError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                          "the content cipher refuses the section length of enveloped data");

    DecryptionResult result;
    result.candidate = *chosen;
    std::vector<std::uint8_t> out;
    detail::streamAll(envelope.content(), progress, [&](std::span<const std::uint8_t> block) {
        result.contentSize +=
            cipherBlock(ctx, block, out, output, CryptoFailure::WrongKey, winerr::NTE_BAD_DATA);
    });
    envelope.finish();
    if (macSize > 0) {
        const AttributesPtr attributes = decodeAttributes(envelope.unprotectedAttributes());
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_PROCESS_UNPROTECTED, 0, attributes.get()) <= 0)
            raiseOpenSslError(CryptoFailure::WrongKey, winerr::NTE_BAD_DATA, "the content's MAC is missing");
    }
    out.resize(EVP_MAX_BLOCK_LENGTH);
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx, out.data(), &tail) != 1 || tail < 0)
        raiseOpenSslError(CryptoFailure::WrongKey, winerr::NTE_BAD_DATA,
                          "the content does not decrypt (padding or MAC check failed)");
    output.write(std::span<const std::uint8_t>(out.data(), static_cast<std::size_t>(tail)));
    result.contentSize += static_cast<std::size_t>(tail);
    return result;
}

} // namespace plombar::crypto

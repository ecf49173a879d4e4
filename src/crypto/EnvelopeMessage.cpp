#include "EnvelopeApi.h"

#include "ContentCipher.h"
#include "CryptoHandles.h"
#include "CryptoInternal.h"
#include "EnvelopeLayout.h"
#include "GostRuntime.h"
#include "platform/AvailableMemory.h"
#include "platform/SystemErrors.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>
#include <vector>

namespace plombar::crypto {

using namespace plombar::winerr;
using namespace detail;

namespace {

// OpenSSL counts ASN.1 lengths in int; keep room for the message around the content.
constexpr std::uint64_t kMaxContent = static_cast<std::uint64_t>(INT_MAX) - (1u << 20);
// The cipher runs over the caller's buffers in steps of this size (EVP counts in int).
constexpr std::size_t kCipherStep = std::size_t{64} << 20;

// ---------------------------------------------------------------------------------------------
// DER layout

struct Tlv {
    std::size_t start = 0;
    std::size_t contentStart = 0;
    std::size_t end = 0;
    int tag = 0;
    int cls = 0;
    bool constructed = false;

    std::size_t contentLength() const { return end - contentStart; }
    std::size_t total() const { return end - start; }
};

// One header at `pos`, its content within `limit`; definite lengths only.
bool readTlv(const std::uint8_t* base, std::size_t pos, std::size_t limit, Tlv& tlv) {
    if (pos >= limit)
        return false;
    const unsigned char* p = base + pos;
    long length = 0;
    int tag = 0;
    int cls = 0;
    const int flags = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(limit - pos));
    if ((flags & 0x80) != 0 || (flags & 0x01) != 0 || length < 0) {
        ClearOpenSslErrors();
        return false;
    }
    tlv.start = pos;
    tlv.contentStart = static_cast<std::size_t>(p - base);
    tlv.end = tlv.contentStart + static_cast<std::size_t>(length);
    tlv.tag = tag;
    tlv.cls = cls;
    tlv.constructed = (flags & V_ASN1_CONSTRUCTED) != 0;
    return tlv.end <= limit;
}

bool isUniversal(const Tlv& tlv, int tag, bool constructed) {
    return tlv.cls == V_ASN1_UNIVERSAL && tlv.tag == tag && tlv.constructed == constructed;
}

void appendHeader(std::string& out, int tag, int cls, std::size_t length) {
    const int total = ASN1_object_size(1, static_cast<int>(length), tag);
    const int header = total - static_cast<int>(length);
    unsigned char buffer[16];
    unsigned char* p = buffer;
    ASN1_put_object(&p, 1, static_cast<int>(length), tag, cls);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(header));
}

std::size_t headerSize(int tag, std::size_t length) {
    return static_cast<std::size_t>(ASN1_object_size(1, static_cast<int>(length), tag)) - length;
}

// ---------------------------------------------------------------------------------------------
// Encryption

// The content cipher for the identifier of the parameters, by exact dotted text.
const EVP_CIPHER* contentCipherFor(const char* oid) {
    static constexpr const char* kGost28147Names[] = {
        "1.2.643.2.2.19",    // GOST R 34.10-2001 recipient
        "1.2.643.7.1.1.1.1", // GOST R 34.10-2012 256-bit recipient
        "1.2.643.7.1.1.1.2", // GOST R 34.10-2012 512-bit recipient
        "1.2.643.2.2.21",    // GOST 28147-89 itself
    };
    if (oid == nullptr)
        return nullptr;
    for (const char* name : kGost28147Names)
        if (std::strcmp(oid, name) == 0)
            return EVP_get_cipherbynid(NID_id_Gost28147_89);
    return nullptr;
}

// Lends a span of the caller's memory to the message as its encrypted content for as long as it
// lives, and leaves the message detached again afterwards. The OCTET STRING must never free the
// borrowed bytes, so they are taken back before it goes.
class LentContent {
public:
    LentContent(CMS_ContentInfo* cms, const BYTE* data, std::size_t size) : slot_(CMS_get0_content(cms)) {
        if (slot_ == nullptr)
            return;
        ASN1_OCTET_STRING_free(*slot_);
        *slot_ = ASN1_OCTET_STRING_new();
        if (*slot_ == nullptr)
            return;
        ASN1_STRING_set0(*slot_, const_cast<BYTE*>(data), static_cast<int>(size));
        ok_ = true;
    }
    LentContent(const LentContent&) = delete;
    LentContent& operator=(const LentContent&) = delete;
    ~LentContent() {
        if (slot_ == nullptr || *slot_ == nullptr)
            return;
        // Taken back by hand: ASN1_STRING_set0 would free the borrowed pointer.
        (*slot_)->data = nullptr;
        (*slot_)->length = 0;
        ASN1_OCTET_STRING_free(*slot_);
        *slot_ = nullptr;
    }
    bool ok() const { return ok_; }

private:
    ASN1_OCTET_STRING** slot_;
    bool ok_ = false;
};

// An enveloped message whose recipients have their key transport done and whose content cipher is
// keyed, ready for the content: the cipher BIO sits on a null sink, since the ciphertext goes
// straight into the caller's buffer.
struct Envelope {
    CmsPtr cms;
    BioPtr chain;
    EVP_CIPHER_CTX* cipher = nullptr; // owned by the chain
};

BOOL startEnvelope(const EVP_CIPHER* cipher, const std::vector<X509*>& recipients, Envelope& envelope) {
    // Binary: no CR LF canonicalisation. Detached while it is built: the content is lent later.
    envelope.cms.reset(CMS_encrypt(nullptr, nullptr, cipher, CMS_BINARY | CMS_PARTIAL | CMS_DETACHED));
    if (!envelope.cms)
        return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the enveloped message cannot be created");
    for (X509* recipient : recipients) {
        // The GOST engine's key transport needs the key context that OpenSSL only prepares early
        // under CMS_KEY_PARAM.
        CMS_RecipientInfo* info = CMS_add1_recipient_cert(envelope.cms.get(), recipient, CMS_KEY_PARAM);
        if (info == nullptr)
            return failWithOpenSsl(NTE_BAD_ALGID, "the recipient's key cannot take the content key");
        if (CMS_RecipientInfo_type(info) != CMS_RECIPINFO_TRANS)
            return fail(NTE_BAD_ALGID, "the recipient's key does not allow key transport");
    }
    BioPtr sink(BIO_new(BIO_s_null()));
    if (!sink)
        return failWithOpenSsl(NTE_NO_MEMORY, "no memory");
    BIO* chain = CMS_dataInit(envelope.cms.get(), sink.get());
    if (chain == nullptr)
        return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the content key cannot be sent to the recipient");
    sink.release(); // now part of the chain
    envelope.chain.reset(chain);
    BIO* cipherBio = BIO_find_type(chain, BIO_TYPE_CIPHER);
    if (cipherBio == nullptr || BIO_get_cipher_ctx(cipherBio, &envelope.cipher) != 1 ||
        envelope.cipher == nullptr)
        return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the content cipher cannot be prepared");
    return TRUE;
}

// The DER length of the message with `size` bytes of content, without reading them.
std::size_t messageLength(CMS_ContentInfo* cms, const BYTE* content, std::size_t size) {
    LentContent lent(cms, content, size);
    if (!lent.ok())
        return 0;
    const int length = i2d_CMS_ContentInfo(cms, nullptr);
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

std::string detachedDer(CMS_ContentInfo* cms) {
    return EncodeDer(cms, [](const CMS_ContentInfo* c, unsigned char** p) {
        return i2d_CMS_ContentInfo(const_cast<CMS_ContentInfo*>(c), p);
    });
}

// Runs the keyed cipher over `size` bytes from `in` to `out` and finishes it (padding and MAC checks
// of other senders' ciphers happen at the finish); `produced` is the output's length.
bool runCipher(EVP_CIPHER_CTX* ctx, const BYTE* in, std::size_t size, BYTE* out, std::size_t& produced) {
    produced = 0;
    std::size_t done = 0;
    while (done < size) {
        const std::size_t step = std::min(size - done, kCipherStep);
        int written = 0;
        if (EVP_CipherUpdate(ctx, out + produced, &written, in + done, static_cast<int>(step)) != 1 ||
            written < 0)
            return false;
        produced += static_cast<std::size_t>(written);
        done += step;
    }
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx, out + produced, &tail) != 1 || tail < 0)
        return false;
    produced += static_cast<std::size_t>(tail);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Decryption

// A parsed message and where its encrypted content lies: in the caller's buffer (DER) or inside
// the parsed structure (BER, decoded whole).
struct ParsedEnvelope {
    CmsPtr cms;
    const BYTE* content = nullptr;
    std::size_t contentLength = 0;
    bool contentDetached = false; // the structure holds no content; `content` is the caller's
    std::string structure;        // DER of the message without its encrypted content
};

BOOL parseEnvelope(const BYTE* message, std::size_t size, ParsedEnvelope& parsed) {
    EnvelopedLayout layout;
    if (SplitEnvelopedMessage(message, size, layout)) {
        const auto* p = reinterpret_cast<const unsigned char*>(layout.detached.data());
        parsed.cms.reset(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(layout.detached.size())));
        if (parsed.cms && OBJ_obj2nid(CMS_get0_type(parsed.cms.get())) == NID_pkcs7_enveloped) {
            parsed.content = message + layout.contentOffset;
            parsed.contentLength = layout.contentLength;
            parsed.contentDetached = true;
            parsed.structure = std::move(layout.detached);
            return TRUE;
        }
        ClearOpenSslErrors(); // fall through: let the whole decoder have its say
    }
    // Decoded whole, the message's content is copied: without room for that, say so rather than
    // leave an allocation that overcommitted memory lets through to the OOM killer.
    if (!memoryAvailableFor(size))
        return fail(E_OUTOFMEMORY, "no memory to decode a message of " + std::to_string(size) + " bytes");
    const unsigned char* p = message;
    parsed.cms.reset(size > 0 ? d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(size)) : nullptr);
    if (!parsed.cms)
        return failWithOpenSsl(CRYPT_E_ASN1_BADTAG, "not a PKCS #7/CMS message");
    if (OBJ_obj2nid(CMS_get0_type(parsed.cms.get())) != NID_pkcs7_enveloped)
        return fail(CRYPT_E_UNEXPECTED_MSG_TYPE,
                    std::string("the message is not enveloped data but ") +
                        OBJ_nid2ln(OBJ_obj2nid(CMS_get0_type(parsed.cms.get()))));
    ASN1_OCTET_STRING** slot = CMS_get0_content(parsed.cms.get());
    if (slot == nullptr || *slot == nullptr)
        return fail(CRYPT_E_MSG_ERROR, "the message carries no encrypted content");
    parsed.content = ASN1_STRING_get0_data(*slot);
    parsed.contentLength = static_cast<std::size_t>(ASN1_STRING_length(*slot));
    // The structure without the content, re-encoded as DER; the fields checked below (cipher
    // parameters, key transport blocks) keep the bytes they were sent with.
    ASN1_OCTET_STRING* content = *slot;
    *slot = nullptr;
    parsed.structure = detachedDer(parsed.cms.get());
    *slot = content;
    if (parsed.structure.empty())
        return failWithOpenSsl(CRYPT_E_ASN1_BADTAG, "the message cannot be encoded again");
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Fields the GOST engine reads without checking them

bool children(const std::uint8_t* base, const Tlv& parent, std::vector<Tlv>& out) {
    out.clear();
    for (std::size_t pos = parent.contentStart; pos < parent.end;) {
        Tlv child;
        if (!readTlv(base, pos, parent.end, child))
            return false;
        out.push_back(child);
        pos = child.end;
    }
    return true;
}

bool isPrimitive(const Tlv& tlv, int cls, int tag) {
    return tlv.cls == cls && tlv.tag == tag && !tlv.constructed;
}

const std::uint8_t* bytesOf(const std::string& der) {
    return reinterpret_cast<const std::uint8_t*>(der.data());
}

// The EnvelopedData's recipientInfos SET and EncryptedContentInfo in a structure.
bool envelopedParts(const std::string& der, Tlv& recipientInfos, Tlv& contentInfo) {
    const std::uint8_t* base = bytesOf(der);
    Tlv info, type, wrapper, enveloped;
    if (!readTlv(base, 0, der.size(), info) || !readTlv(base, info.contentStart, info.end, type) ||
        !readTlv(base, type.end, info.end, wrapper) ||
        !readTlv(base, wrapper.contentStart, wrapper.end, enveloped))
        return false;
    std::vector<Tlv> parts;
    if (!children(base, enveloped, parts))
        return false;
    bool haveRecipients = false;
    bool haveContent = false;
    for (const Tlv& part : parts) {
        if (!haveRecipients && isUniversal(part, V_ASN1_SET, true)) {
            recipientInfos = part;
            haveRecipients = true;
        } else if (!haveContent && isUniversal(part, V_ASN1_SEQUENCE, true)) {
            contentInfo = part;
            haveContent = true;
        }
    }
    return haveRecipients && haveContent;
}

bool isGostKey(EVP_PKEY* key) {
    const int id = key != nullptr ? EVP_PKEY_get_base_id(key) : NID_undef;
    return id == NID_id_GostR3410_2001 || id == NID_id_GostR3410_2012_256 || id == NID_id_GostR3410_2012_512;
}

bool sameObject(const std::uint8_t* base, const Tlv& tlv, int nid) {
    const ASN1_OBJECT* object = OBJ_nid2obj(nid);
    return isPrimitive(tlv, V_ASN1_UNIVERSAL, V_ASN1_OBJECT) &&
           tlv.contentLength() == static_cast<std::size_t>(OBJ_length(object)) &&
           std::memcmp(base + tlv.contentStart, OBJ_get0_data(object), tlv.contentLength()) == 0;
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

// The content cipher's parameters in the form the GOST engine reads them, since it does not check
// them: GOST 28147-89 { iv OCTET STRING (8), paramSet OBJECT IDENTIFIER }; Magma and Kuznyechik
// CTR-ACPKM { ukm OCTET STRING } (absent parameters would crash the engine, and a Magma UKM of
// another length would decrypt with a zero IV). Other ciphers get OpenSSL's own checks.
bool contentParametersReadable(const std::string& structure) {
    Tlv recipientInfos, contentInfo;
    if (!envelopedParts(structure, recipientInfos, contentInfo))
        return false;
    const std::uint8_t* base = bytesOf(structure);
    std::vector<Tlv> fields, algorithm, parameters;
    if (!children(base, contentInfo, fields) || fields.size() < 2 || !children(base, fields[1], algorithm) ||
        algorithm.empty())
        return false;
    const bool sequenceOfParameters = algorithm.size() == 2 &&
                                      isUniversal(algorithm[1], V_ASN1_SEQUENCE, true) &&
                                      children(base, algorithm[1], parameters);
    for (const UkmLength& ukm : kCtrAcpkmUkmLengths)
        if (sameObject(base, algorithm[0], ukm.nid))
            return sequenceOfParameters && parameters.size() == 1 &&
                   isPrimitive(parameters[0], V_ASN1_UNIVERSAL, V_ASN1_OCTET_STRING) &&
                   parameters[0].contentLength() == ukm.bytes;
    if (!sameObject(base, algorithm[0], NID_id_Gost28147_89))
        return true;
    if (!sequenceOfParameters || parameters.size() != 2 ||
        !isPrimitive(parameters[0], V_ASN1_UNIVERSAL, V_ASN1_OCTET_STRING) ||
        parameters[0].contentLength() != 8 || !isPrimitive(parameters[1], V_ASN1_UNIVERSAL, V_ASN1_OBJECT))
        return false;
    const unsigned char* p = base + parameters[1].start;
    Asn1ObjectPtr paramSet(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(parameters[1].total())));
    ClearOpenSslErrors();
    return paramSet != nullptr;
}

// Whether a KeyTransRecipientInfo's recipient identifier names this certificate.
bool namesCertificate(const std::uint8_t* base, const Tlv& rid, X509* certificate) {
    if (isPrimitive(rid, V_ASN1_CONTEXT_SPECIFIC, 0)) {
        const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(certificate);
        return keyId != nullptr &&
               static_cast<std::size_t>(ASN1_STRING_length(keyId)) == rid.contentLength() &&
               std::memcmp(ASN1_STRING_get0_data(keyId), base + rid.contentStart, rid.contentLength()) == 0;
    }
    std::vector<Tlv> parts;
    if (!isUniversal(rid, V_ASN1_SEQUENCE, true) || !children(base, rid, parts) || parts.size() != 2)
        return false;
    const unsigned char* p = base + parts[0].start;
    X509NamePtr issuer(d2i_X509_NAME(nullptr, &p, static_cast<long>(parts[0].total())));
    p = base + parts[1].start;
    Asn1IntegerPtr serial(d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(parts[1].total())));
    ClearOpenSslErrors();
    return issuer && serial && X509_NAME_cmp(issuer.get(), X509_get_issuer_name(certificate)) == 0 &&
           ASN1_INTEGER_cmp(serial.get(), X509_get0_serialNumber(certificate)) == 0;
}

// A GOST key transport block in one of the two forms the engine reads: GostR3410-KeyTransport
// { { encryptedKey (32), macKey (4) }, [0] { paramSet, [0] ephemeralKey OPTIONAL, ukm (8) } }, whose
// lengths the engine asserts (a wrong one would abort the process), or the 2018 form
// { exportedKey, ephemeralKey, ukm OPTIONAL }, whose ephemeral key it uses without checking.
bool gostKeyBlockReadable(const std::uint8_t* base, const Tlv& block) {
    Tlv outer;
    std::vector<Tlv> parts, keyInfo, agreement;
    if (!readTlv(base, block.contentStart, block.end, outer) || !isUniversal(outer, V_ASN1_SEQUENCE, true) ||
        !children(base, outer, parts) || parts.size() < 2)
        return false;
    if (isUniversal(parts[0], V_ASN1_SEQUENCE, true)) {
        return parts.size() == 2 && children(base, parts[0], keyInfo) && keyInfo.size() == 2 &&
               isPrimitive(keyInfo[0], V_ASN1_UNIVERSAL, V_ASN1_OCTET_STRING) &&
               keyInfo[0].contentLength() == 32 &&
               isPrimitive(keyInfo[1], V_ASN1_UNIVERSAL, V_ASN1_OCTET_STRING) &&
               keyInfo[1].contentLength() == 4 && parts[1].cls == V_ASN1_CONTEXT_SPECIFIC &&
               parts[1].tag == 0 && parts[1].constructed && children(base, parts[1], agreement) &&
               (agreement.size() == 2 || agreement.size() == 3) &&
               isPrimitive(agreement.front(), V_ASN1_UNIVERSAL, V_ASN1_OBJECT) &&
               (agreement.size() == 2 ||
                (agreement[1].cls == V_ASN1_CONTEXT_SPECIFIC && agreement[1].tag == 0)) &&
               isPrimitive(agreement.back(), V_ASN1_UNIVERSAL, V_ASN1_OCTET_STRING) &&
               agreement.back().contentLength() == 8;
    }
    if (isPrimitive(parts[0], V_ASN1_UNIVERSAL, V_ASN1_OCTET_STRING) &&
        isUniversal(parts[1], V_ASN1_SEQUENCE, true)) {
        const unsigned char* p = base + parts[1].start;
        EvpPkeyPtr ephemeral(d2i_PUBKEY(nullptr, &p, static_cast<long>(parts[1].total())));
        ClearOpenSslErrors();
        return ephemeral != nullptr;
    }
    return false;
}

// Every KeyTransRecipientInfo for the certificate carries a key block the engine can read safely.
bool gostKeyTransportReadable(const std::string& structure, X509* certificate) {
    Tlv recipientInfos, contentInfo;
    if (!envelopedParts(structure, recipientInfos, contentInfo))
        return false;
    const std::uint8_t* base = bytesOf(structure);
    std::vector<Tlv> infos, fields;
    if (!children(base, recipientInfos, infos))
        return false;
    for (const Tlv& info : infos) {
        if (!isUniversal(info, V_ASN1_SEQUENCE, true))
            continue; // not key transport
        if (!children(base, info, fields) || fields.size() != 4)
            return false;
        if (namesCertificate(base, fields[1], certificate) &&
            (!isPrimitive(fields[3], V_ASN1_UNIVERSAL, V_ASN1_OCTET_STRING) ||
             !gostKeyBlockReadable(base, fields[3])))
            return false;
    }
    return true;
}

bool hasKeyFile(PCCERT_CONTEXT context) {
    std::lock_guard lock(handleMutex());
    const CertContextImpl* impl = liveContext(context);
    return impl != nullptr && impl->keyFilePresent && !impl->entryPath.empty();
}

// Store entries with a key for the message's key transport recipients, in the order they are tried.
std::vector<CertContextHandle> findRecipients(CMS_ContentInfo* cms, const std::vector<HCERTSTORE>& stores) {
    std::vector<CertContextHandle> found;
    STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms);
    for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
        CMS_RecipientInfo* info = sk_CMS_RecipientInfo_value(infos, i);
        if (CMS_RecipientInfo_type(info) != CMS_RECIPINFO_TRANS)
            continue;
        for (HCERTSTORE store : stores) {
            PCCERT_CONTEXT context = nullptr;
            while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) {
                X509* certificate = contextCertificate(context);
                if (certificate == nullptr || CMS_RecipientInfo_ktri_cert_cmp(info, certificate) != 0 ||
                    !hasKeyFile(context))
                    continue;
                const bool known =
                    std::any_of(found.begin(), found.end(),
                                [context](const CertContextHandle& h) { return h.get() == context; });
                if (!known)
                    found.emplace_back(CertDuplicateCertificateContext(context));
            }
        }
    }
    ClearOpenSslErrors();
    return found;
}

// Makes OpenSSL report a key that does not open the content key, instead of decrypting with a
// random key as its countermeasure against padding oracles does. That call only records the flag,
// but it wants the content present, so a detached structure gets an empty one meanwhile.
bool requestHonestDecryption(const ParsedEnvelope& parsed) {
    if (parsed.contentDetached && CMS_set_detached(parsed.cms.get(), 0) != 1)
        return false;
    const int ok = CMS_decrypt(parsed.cms.get(), nullptr, nullptr, nullptr, nullptr, CMS_DEBUG_DECRYPT);
    if (parsed.contentDetached)
        CMS_set_detached(parsed.cms.get(), 1);
    ClearOpenSslErrors();
    return ok == 1;
}

// Opens the content key with one candidate's key and decrypts the content into `out`.
BOOL decryptWith(const ParsedEnvelope& parsed, X509* certificate, EVP_PKEY* key, BYTE* out,
                 std::size_t& produced) {
    // With the certificate given only its own RecipientInfo is tried.
    if (CMS_decrypt_set1_pkey_and_peer(parsed.cms.get(), key, certificate, nullptr) != 1)
        return failWithOpenSsl(NTE_BAD_DATA, "the private key does not open the message's content key");
    BioPtr sink(BIO_new(BIO_s_null()));
    if (!sink)
        return failWithOpenSsl(NTE_NO_MEMORY, "no memory");
    BIO* chainRaw = CMS_dataInit(parsed.cms.get(), sink.get());
    if (chainRaw == nullptr)
        return failWithOpenSsl(NTE_BAD_DATA, "the content cipher cannot be prepared");
    sink.release();
    BioPtr chain(chainRaw);
    EVP_CIPHER_CTX* ctx = nullptr;
    BIO* cipherBio = BIO_find_type(chain.get(), BIO_TYPE_CIPHER);
    if (cipherBio == nullptr || BIO_get_cipher_ctx(cipherBio, &ctx) != 1 || ctx == nullptr)
        return failWithOpenSsl(NTE_BAD_DATA, "the content cipher cannot be prepared");
    if (!UseCmsSectionLength(ctx))
        return failWithOpenSsl(NTE_BAD_DATA, "the content cipher does not take the section length of "
                                             "enveloped data");
    ClearOpenSslErrors(); // a failing check below then reports its own error, not an earlier one
    static const BYTE kNothing = 0;
    const BYTE* in = parsed.content != nullptr ? parsed.content : &kNothing;
    if (!runCipher(ctx, in, parsed.contentLength, out, produced) || produced > parsed.contentLength) {
        OPENSSL_cleanse(out, parsed.contentLength);
        return failWithOpenSsl(NTE_BAD_DATA, "the content does not decrypt (padding or MAC check failed)");
    }
    return TRUE;
}

} // namespace

// ---------------------------------------------------------------------------------------------

bool detail::SplitEnvelopedMessage(const std::uint8_t* message, std::size_t size, EnvelopedLayout& layout) {
    if (message == nullptr || size < 2)
        return false;
    Tlv info, type, wrapper, enveloped;
    if (!readTlv(message, 0, size, info) || !isUniversal(info, V_ASN1_SEQUENCE, true))
        return false;
    if (!readTlv(message, info.contentStart, info.end, type) || !isUniversal(type, V_ASN1_OBJECT, false))
        return false;
    const ASN1_OBJECT* envelopedOid = OBJ_nid2obj(NID_pkcs7_enveloped);
    if (type.contentLength() != static_cast<std::size_t>(OBJ_length(envelopedOid)) ||
        std::memcmp(message + type.contentStart, OBJ_get0_data(envelopedOid), type.contentLength()) != 0)
        return false;
    if (!readTlv(message, type.end, info.end, wrapper) || wrapper.cls != V_ASN1_CONTEXT_SPECIFIC ||
        wrapper.tag != 0 || !wrapper.constructed || wrapper.end != info.end)
        return false;
    if (!readTlv(message, wrapper.contentStart, wrapper.end, enveloped) ||
        !isUniversal(enveloped, V_ASN1_SEQUENCE, true) || enveloped.end != wrapper.end)
        return false;

    // EnvelopedData: version, [0] originatorInfo, recipientInfos SET, encryptedContentInfo SEQUENCE,
    // [1] unprotectedAttrs. The content info is its only universal SEQUENCE.
    Tlv contentInfo;
    bool foundInfo = false;
    for (std::size_t pos = enveloped.contentStart; pos < enveloped.end;) {
        Tlv child;
        if (!readTlv(message, pos, enveloped.end, child))
            return false;
        if (isUniversal(child, V_ASN1_SEQUENCE, true)) {
            contentInfo = child;
            foundInfo = true;
            break;
        }
        pos = child.end;
    }
    if (!foundInfo)
        return false;
    // EncryptedContentInfo: contentType, contentEncryptionAlgorithm, [0] IMPLICIT encryptedContent.
    Tlv contentType, algorithm, content;
    if (!readTlv(message, contentInfo.contentStart, contentInfo.end, contentType) ||
        !isUniversal(contentType, V_ASN1_OBJECT, false) ||
        !readTlv(message, contentType.end, contentInfo.end, algorithm) ||
        !isUniversal(algorithm, V_ASN1_SEQUENCE, true) ||
        !readTlv(message, algorithm.end, contentInfo.end, content) ||
        content.cls != V_ASN1_CONTEXT_SPECIFIC || content.tag != 0 || content.constructed ||
        content.end != contentInfo.end)
        return false;

    // The same message without the content: every enclosing header shrinks by the content's TLV.
    const std::size_t infoLength = contentInfo.contentLength() - content.total();
    const std::size_t infoTotal = headerSize(V_ASN1_SEQUENCE, infoLength) + infoLength;
    const std::size_t envelopedLength = enveloped.contentLength() - contentInfo.total() + infoTotal;
    const std::size_t envelopedTotal = headerSize(V_ASN1_SEQUENCE, envelopedLength) + envelopedLength;
    const std::size_t wrapperTotal = headerSize(0, envelopedTotal) + envelopedTotal;
    const std::size_t outerLength = type.total() + wrapperTotal;

    std::string detached;
    detached.reserve(headerSize(V_ASN1_SEQUENCE, outerLength) + outerLength);
    const auto bytes = [message](std::size_t from, std::size_t to) {
        return std::string_view(reinterpret_cast<const char*>(message) + from, to - from);
    };
    appendHeader(detached, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, outerLength);
    detached += bytes(type.start, type.end);
    appendHeader(detached, 0, V_ASN1_CONTEXT_SPECIFIC, envelopedTotal);
    appendHeader(detached, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, envelopedLength);
    detached += bytes(enveloped.contentStart, contentInfo.start);
    appendHeader(detached, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, infoLength);
    detached += bytes(contentInfo.contentStart, content.start);
    detached += bytes(contentInfo.end, enveloped.end);

    layout.detached = std::move(detached);
    layout.contentOffset = content.contentStart;
    layout.contentLength = content.contentLength();
    layout.messageLength = info.end;
    return true;
}

BOOL CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                         PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted,
                         DWORD cbToBeEncrypted, BYTE* pbEncryptedBlob, DWORD* pcbEncryptedBlob) {
    clearDiagnostic();
    if (pEncryptPara == nullptr || pcbEncryptedBlob == nullptr)
        return fail(E_INVALIDARG, "no parameters or no length");
    if (!IsAcceptedParaSize<CRYPT_ENCRYPT_MESSAGE_PARA>(pEncryptPara->cbSize, kEncryptMessageParaSize32))
        return fail(E_INVALIDARG, "CRYPT_ENCRYPT_MESSAGE_PARA.cbSize is neither 36 nor the structure's size");
    if ((pEncryptPara->dwMsgEncodingType & PKCS_7_ASN_ENCODING) == 0)
        return fail(E_INVALIDARG, "the message encoding must include PKCS_7_ASN_ENCODING");
    const char* cipherOid = pEncryptPara->ContentEncryptionAlgorithm.pszObjId;
    if (!GostRuntimeReady())
        return fail(NTE_PROVIDER_DLL_FAIL, GostRuntimeErrorText());
    const EVP_CIPHER* cipher = contentCipherFor(cipherOid);
    if (cipher == nullptr)
        return fail(CRYPT_E_UNKNOWN_ALGO, std::string("no content cipher for the identifier \"") +
                                              (cipherOid != nullptr ? cipherOid : "(null)") + "\"");
    if (pEncryptPara->ContentEncryptionAlgorithm.Parameters.cbData != 0 ||
        pEncryptPara->pvEncryptionAuxInfo != nullptr || pEncryptPara->dwFlags != 0 ||
        pEncryptPara->dwInnerContentType != 0)
        return fail(E_INVALIDARG,
                    "cipher parameters, auxiliary information, key identifier recipients and inner "
                    "content types are not supported");
    if (cRecipientCert == 0 || rgpRecipientCert == nullptr)
        return fail(E_INVALIDARG, "no recipient");
    if (pbToBeEncrypted == nullptr && cbToBeEncrypted != 0)
        return fail(E_INVALIDARG, "content length without content");
    if (cbToBeEncrypted > kMaxContent)
        return fail(CRYPT_E_ASN1_LARGE, "content of 2 GiB or more cannot be encrypted");

    std::vector<X509*> recipients;
    for (DWORD i = 0; i < cRecipientCert; ++i) {
        X509* certificate = contextCertificate(rgpRecipientCert[i]);
        if (certificate == nullptr)
            return fail(E_INVALIDARG, "a recipient is not a live certificate context");
        recipients.push_back(certificate);
    }
    static const BYTE kNothing = 0;
    const BYTE* content = cbToBeEncrypted != 0 ? pbToBeEncrypted : &kNothing;
    const std::size_t size = cbToBeEncrypted;

    // The length: a message with the same recipients over no content, its content length counted
    // as the real one's. The key transport blocks have a fixed size per recipient, the cipher
    // (CFB) keeps the length.
    if (pbEncryptedBlob == nullptr) {
        Envelope sizing;
        if (!startEnvelope(cipher, recipients, sizing))
            return FALSE;
        if (CMS_dataFinal(sizing.cms.get(), sizing.chain.get()) != 1)
            return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the message cannot be finished");
        const std::size_t length = messageLength(sizing.cms.get(), content, size);
        if (length == 0)
            return failWithOpenSsl(CRYPT_E_ASN1_ERROR, "the message cannot be encoded");
        *pcbEncryptedBlob = static_cast<DWORD>(length);
        SetLastError(0);
        return TRUE;
    }

    Envelope envelope;
    if (!startEnvelope(cipher, recipients, envelope))
        return FALSE;
    const std::size_t total = messageLength(envelope.cms.get(), content, size);
    if (total == 0)
        return failWithOpenSsl(CRYPT_E_ASN1_ERROR, "the message cannot be encoded");
    if (total > *pcbEncryptedBlob) {
        *pcbEncryptedBlob = static_cast<DWORD>(total);
        return fail(ERROR_MORE_DATA, "the output buffer is too small");
    }
    // The message goes straight into the caller's buffer: OpenSSL encodes it with the plaintext as
    // content, which the cipher then overwrites in place with the ciphertext. Its headers stay
    // valid because the structure does not change afterwards (checked below).
    const std::size_t prefix = total - size;
    {
        LentContent lent(envelope.cms.get(), content, size);
        unsigned char* out = pbEncryptedBlob;
        if (!lent.ok() || i2d_CMS_ContentInfo(envelope.cms.get(), &out) != static_cast<int>(total))
            return failWithOpenSsl(CRYPT_E_ASN1_ERROR, "the message cannot be encoded");
    }
    const std::string before = detachedDer(envelope.cms.get());
    std::size_t produced = 0;
    const bool encrypted = runCipher(envelope.cipher, content, size, pbEncryptedBlob + prefix, produced) &&
                           produced == size && CMS_dataFinal(envelope.cms.get(), envelope.chain.get()) == 1;
    if (!encrypted || before.empty() || detachedDer(envelope.cms.get()) != before) {
        OPENSSL_cleanse(pbEncryptedBlob, total); // no plaintext may stay behind in an output buffer
        return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the content cannot be encrypted");
    }
    *pcbEncryptedBlob = static_cast<DWORD>(total);
    SetLastError(0);
    return TRUE;
}

BOOL CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA pDecryptPara, const BYTE* pbEncryptedBlob,
                         DWORD cbEncryptedBlob, BYTE* pbDecrypted, DWORD* pcbDecrypted,
                         PCCERT_CONTEXT* ppXchgCert) {
    clearDiagnostic();
    if (ppXchgCert != nullptr)
        *ppXchgCert = nullptr;
    if (pDecryptPara == nullptr || pcbDecrypted == nullptr)
        return fail(E_INVALIDARG, "no parameters or no length");
    if (!IsAcceptedParaSize<CRYPT_DECRYPT_MESSAGE_PARA>(pDecryptPara->cbSize, kDecryptMessageParaSize32))
        return fail(E_INVALIDARG, "CRYPT_DECRYPT_MESSAGE_PARA.cbSize is neither 16 nor the structure's size");
    if ((pDecryptPara->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) == 0)
        return fail(E_INVALIDARG, "the message encoding must include PKCS_7_ASN_ENCODING");
    if (pDecryptPara->cCertStore != 0 && pDecryptPara->rghCertStore == nullptr)
        return fail(E_INVALIDARG, "no store list");
    if (pbEncryptedBlob == nullptr && cbEncryptedBlob != 0)
        return fail(E_INVALIDARG, "message length without message");
    std::vector<HCERTSTORE> stores;
    {
        std::lock_guard lock(handleMutex());
        for (DWORD i = 0; i < pDecryptPara->cCertStore; ++i) {
            if (!isOpenStore(pDecryptPara->rghCertStore[i]))
                return fail(E_INVALIDARG, "a store handle is not open");
            stores.push_back(pDecryptPara->rghCertStore[i]);
        }
    }
    if (!GostRuntimeReady())
        return fail(NTE_PROVIDER_DLL_FAIL, GostRuntimeErrorText());

    ParsedEnvelope parsed;
    if (!parseEnvelope(pbEncryptedBlob, cbEncryptedBlob, parsed))
        return FALSE;
    std::vector<CertContextHandle> candidates = findRecipients(parsed.cms.get(), stores);
    if (candidates.empty())
        return fail(CRYPT_E_NO_DECRYPT_CERT,
                    "no certificate with a private key in the store matches a recipient");
    const std::size_t needed = parsed.contentLength;

    if (pbDecrypted == nullptr) {
        *pcbDecrypted = static_cast<DWORD>(needed);
        if (ppXchgCert != nullptr)
            *ppXchgCert = CertDuplicateCertificateContext(candidates.front().get());
        SetLastError(0);
        return TRUE;
    }
    if (*pcbDecrypted < needed) {
        *pcbDecrypted = static_cast<DWORD>(needed);
        return fail(ERROR_MORE_DATA, "the output buffer is too small");
    }
    if (!contentParametersReadable(parsed.structure))
        return fail(NTE_BAD_DATA, "the message's content cipher parameters are damaged");
    if (!requestHonestDecryption(parsed))
        return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the message cannot be prepared for decryption");

    DWORD lastError = NTE_BAD_DATA;
    std::string lastDiagnostic;
    for (const CertContextHandle& candidate : candidates) {
        X509* certificate = contextCertificate(candidate.get());
        // Checked before a password is asked: a damaged block would never open anyway.
        if (isGostKey(X509_get0_pubkey(certificate)) &&
            !gostKeyTransportReadable(parsed.structure, certificate)) {
            lastError = NTE_BAD_DATA;
            lastDiagnostic = "the key transport block for this recipient is damaged";
            ClearOpenSslErrors();
            continue;
        }
        const std::shared_ptr<UnlockedKey> key = unlockPrivateKey(candidate.get());
        if (!key) {
            if (GetLastError() == ERROR_CANCELLED)
                return FALSE; // the user said no: ask no further
            lastError = GetLastError();
            lastDiagnostic = LastCryptoDiagnostic();
            continue;
        }
        std::size_t produced = 0;
        if (!decryptWith(parsed, certificate, key->key.get(), pbDecrypted, produced)) {
            lastError = GetLastError();
            lastDiagnostic = LastCryptoDiagnostic();
            continue;
        }
        *pcbDecrypted = static_cast<DWORD>(produced);
        if (ppXchgCert != nullptr)
            *ppXchgCert = CertDuplicateCertificateContext(candidate.get());
        clearDiagnostic();
        SetLastError(0);
        return TRUE;
    }
    return fail(lastError, lastDiagnostic);
}

} // namespace plombar::crypto

#include "CryptoInternal.h"
#include "GostRuntime.h"
#include "platform/SystemErrors.h"

#include <climits>
#include <cstring>
#include <span>
#include <vector>

namespace plombar::crypto {

using namespace plombar::winerr;
using namespace detail;

namespace {

// OpenSSL counts ASN.1 lengths in int; keep room for the message around the content.
constexpr std::uint64_t kMaxContent = static_cast<std::uint64_t>(INT_MAX) - (1u << 20);
constexpr std::size_t kWriteChunk = std::size_t{1} << 30;

thread_local int tPassingCalls = -1;
thread_local DWORD tInjectedCode = 0;

} // namespace

// Names ("md_gost12_256"), blanks, leading zeros and unknown identifiers are refused: passing
// md = NULL on to OpenSSL would silently pick a default digest.
const EVP_MD* detail::digestForOid(const char* oid) {
    if (oid == nullptr || *oid == '\0')
        return nullptr;
    Asn1ObjectPtr object(OBJ_txt2obj(oid, 1));
    if (!object || DottedOid(object.get()) != oid) {
        ClearOpenSslErrors();
        return nullptr;
    }
    const int nid = OBJ_obj2nid(object.get());
    const EVP_MD* md = nid != NID_undef ? EVP_get_digestbynid(nid) : nullptr;
    ClearOpenSslErrors();
    return md;
}

namespace {

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

// A signed message under construction. For an attached message the content OCTET STRING borrows
// the caller's bytes instead of copying them; the borrow is undone before OpenSSL frees the
// structure (ASN1_STRING_set0 would otherwise free the caller's memory).
class SignedMessage {
public:
    SignedMessage() = default;
    SignedMessage(const SignedMessage&) = delete;
    SignedMessage& operator=(const SignedMessage&) = delete;
    ~SignedMessage() {
        if (lent_ != nullptr) {
            lent_->data = nullptr;
            lent_->length = 0;
        }
    }

    CmsPtr cms;
    CMS_SignerInfo* signer = nullptr;

    bool lend(std::span<const BYTE> content) {
        ASN1_OCTET_STRING** slot = CMS_get0_content(cms.get());
        if (slot == nullptr || *slot == nullptr)
            return false;
        ASN1_STRING_set0(*slot, const_cast<BYTE*>(content.data()), static_cast<int>(content.size()));
        (*slot)->flags &= ~ASN1_STRING_FLAG_CONT;
        lent_ = *slot;
        return true;
    }

private:
    ASN1_OCTET_STRING* lent_ = nullptr;
};

struct SignInputs {
    X509* signer = nullptr;
    EVP_PKEY* key = nullptr;
    const EVP_MD* md = nullptr;
    std::vector<X509*> certificates;
    bool detached = true;
};

// Builds the message over `content`; with hashContent false the content is not read at all (the
// signature is then made over the empty content, which has the same length for GOST and RSA keys).
BOOL build(const SignInputs& in, std::span<const BYTE> content, bool hashContent, SignedMessage& message) {
    // Binary: no CR LF canonicalisation. No attributes: the signature covers the content digest only.
    const unsigned flags = CMS_BINARY | CMS_NOATTR | CMS_PARTIAL | CMS_DETACHED | CMS_NOCERTS;
    message.cms.reset(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!message.cms)
        return failWithOpenSsl(NTE_NO_MEMORY, "the signed message cannot be created");
    message.signer = CMS_add1_signer(message.cms.get(), in.signer, in.key, in.md, flags);
    if (message.signer == nullptr)
        return failWithOpenSsl(NTE_BAD_ALGID, "the hash algorithm cannot be used with this key");
    std::vector<X509*> added;
    for (X509* certificate : in.certificates) {
        bool duplicate = false;
        for (X509* other : added)
            duplicate = duplicate || X509_cmp(other, certificate) == 0;
        if (duplicate)
            continue;
        if (CMS_add1_cert(message.cms.get(), certificate) != 1)
            return failWithOpenSsl(CRYPT_E_MSG_ERROR, "a certificate cannot be added to the message");
        added.push_back(certificate);
    }

    // The content goes through the digest chain in few large writes; detached content data goes nowhere.
    BioPtr chain(CMS_dataInit(message.cms.get(), nullptr));
    if (!chain)
        return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the message cannot be started");
    if (const EVP_MD_CTX* lent =
            hashContent ? lentContentDigest(content.data(), content.size(), in.md) : nullptr) {
        // Hashed while the content was loaded: continue from that state.
        EVP_MD_CTX* target = nullptr;
        BIO* digestBio = BIO_find_type(chain.get(), BIO_TYPE_MD);
        if (digestBio == nullptr || BIO_get_md_ctx(digestBio, &target) != 1 || target == nullptr ||
            EVP_MD_CTX_copy_ex(target, lent) != 1)
            return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the content digest cannot be taken over");
    } else if (hashContent) {
        std::size_t done = 0;
        while (done < content.size()) {
            const std::size_t chunk = std::min(content.size() - done, kWriteChunk);
            if (BIO_write(chain.get(), content.data() + done, static_cast<int>(chunk)) !=
                static_cast<int>(chunk))
                return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the content cannot be hashed");
            done += chunk;
        }
    }
    if (CMS_dataFinal(message.cms.get(), chain.get()) != 1)
        return failWithOpenSsl(NTE_BAD_ALGID, "the message cannot be signed");
    chain.reset();

    if (!in.detached) {
        if (CMS_set_detached(message.cms.get(), 0) != 1 || !message.lend(content))
            return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the content cannot be put into the message");
    }
    return TRUE;
}

DWORD encodedLength(const SignedMessage& message) {
    const int length = i2d_CMS_ContentInfo(message.cms.get(), nullptr);
    if (length <= 0) {
        failWithOpenSsl(CRYPT_E_ASN1_ERROR, "the message cannot be encoded");
        return 0;
    }
    return static_cast<DWORD>(length);
}

} // namespace

void detail::failSignCallAfter(int passing, DWORD code) {
    tPassingCalls = passing;
    tInjectedCode = code;
}

BOOL CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara, BOOL fDetachedSignature, DWORD cToBeSigned,
                      const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[], BYTE* pbSignedBlob,
                      DWORD* pcbSignedBlob) {
    clearDiagnostic();
    if (tPassingCalls == 0) {
        tPassingCalls = -1;
        return fail(tInjectedCode, "failure injected by a test");
    }
    if (tPassingCalls > 0)
        --tPassingCalls;
    if (pSignPara == nullptr || pcbSignedBlob == nullptr)
        return fail(E_INVALIDARG, "no parameters or no length");
    if (!IsAcceptedParaSize<CRYPT_SIGN_MESSAGE_PARA>(pSignPara->cbSize, kSignMessageParaSize32))
        return fail(E_INVALIDARG, "CRYPT_SIGN_MESSAGE_PARA.cbSize is neither 68 nor the structure's size");
    if ((pSignPara->dwMsgEncodingType & PKCS_7_ASN_ENCODING) == 0)
        return fail(E_INVALIDARG, "the message encoding must include PKCS_7_ASN_ENCODING");
    if (pSignPara->pSigningCert == nullptr)
        return fail(E_INVALIDARG, "no signer certificate");
    if (pSignPara->cMsgCrl != 0 || pSignPara->cAuthAttr != 0 || pSignPara->cUnauthAttr != 0 ||
        pSignPara->dwInnerContentType != 0)
        return fail(E_INVALIDARG, "CRLs, attributes and inner content types are not supported");
    if ((pSignPara->cMsgCert != 0 && pSignPara->rgpMsgCert == nullptr) ||
        (cToBeSigned != 0 && (rgpbToBeSigned == nullptr || rgcbToBeSigned == nullptr)))
        return fail(E_INVALIDARG, "a list is missing");

    std::uint64_t total = 0;
    for (DWORD i = 0; i < cToBeSigned; ++i) {
        if (rgpbToBeSigned[i] == nullptr && rgcbToBeSigned[i] != 0)
            return fail(E_INVALIDARG, "content element without bytes");
        total += rgcbToBeSigned[i];
    }
    if (total > kMaxContent)
        return fail(CRYPT_E_ASN1_LARGE, "content of 2 GiB or more cannot be signed");

    if (!GostRuntimeReady())
        return fail(NTE_PROVIDER_DLL_FAIL, GostRuntimeErrorText());

    SignInputs in;
    in.detached = fDetachedSignature != FALSE;
    in.md = digestForOid(pSignPara->HashAlgorithm.pszObjId);
    if (in.md == nullptr)
        return fail(CRYPT_E_UNKNOWN_ALGO,
                    std::string("unknown hash algorithm identifier \"") +
                        (pSignPara->HashAlgorithm.pszObjId != nullptr ? pSignPara->HashAlgorithm.pszObjId
                                                                      : "(null)") +
                        "\"");
    in.signer = contextCertificate(pSignPara->pSigningCert);
    if (in.signer == nullptr)
        return fail(E_INVALIDARG, "the signer is not a live certificate context");
    for (DWORD i = 0; i < pSignPara->cMsgCert; ++i) {
        X509* certificate = contextCertificate(pSignPara->rgpMsgCert[i]);
        if (certificate == nullptr)
            return fail(E_INVALIDARG, "a message certificate is not a live certificate context");
        in.certificates.push_back(certificate);
    }

    const std::shared_ptr<UnlockedKey> key = unlockPrivateKey(pSignPara->pSigningCert);
    if (!key)
        return FALSE;
    in.key = key->key.get();
    const int required = requiredDigestNid(in.key);
    if (required != NID_undef && EVP_MD_get_type(in.md) != required)
        return fail(NTE_BAD_ALGID, std::string("the key signs with ") + OBJ_nid2sn(required) + ", not with " +
                                       OBJ_nid2sn(EVP_MD_get_type(in.md)));

    // One content span; several elements are signed as their concatenation.
    static const BYTE kNothing = 0;
    std::vector<BYTE> joined;
    std::span<const BYTE> content(&kNothing, 0);
    if (cToBeSigned == 1 && rgcbToBeSigned[0] != 0) {
        content = {rgpbToBeSigned[0], rgcbToBeSigned[0]};
    } else if (cToBeSigned > 1) {
        joined.reserve(static_cast<std::size_t>(total));
        for (DWORD i = 0; i < cToBeSigned; ++i)
            if (rgcbToBeSigned[i] != 0)
                joined.insert(joined.end(), rgpbToBeSigned[i], rgpbToBeSigned[i] + rgcbToBeSigned[i]);
        if (!joined.empty())
            content = {joined.data(), joined.size()};
    }

    // The length needed, without reading the content: sign the empty content and lend the real one
    // (its length only counts). Signature values of variable length (ECDSA) count at their maximum.
    DWORD needed = 0;
    {
        SignedMessage sizing;
        if (!build(in, content, false, sizing))
            return FALSE;
        ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(sizing.signer);
        const int maximum = EVP_PKEY_get_size(in.key);
        if (signature != nullptr && maximum > ASN1_STRING_length(signature)) {
            std::vector<unsigned char> filler(static_cast<std::size_t>(maximum), 0);
            ASN1_OCTET_STRING_set(signature, filler.data(), maximum);
        }
        needed = encodedLength(sizing);
        if (needed == 0)
            return FALSE;
    }
    if (pbSignedBlob == nullptr) {
        *pcbSignedBlob = needed;
        SetLastError(0);
        return TRUE;
    }
    if (*pcbSignedBlob < needed) {
        *pcbSignedBlob = needed;
        return fail(ERROR_MORE_DATA, "the output buffer is too small");
    }

    SignedMessage message;
    if (!build(in, content, true, message))
        return FALSE;
    const DWORD length = encodedLength(message);
    if (length == 0)
        return FALSE;
    if (length > *pcbSignedBlob) {
        *pcbSignedBlob = length;
        return fail(ERROR_MORE_DATA, "the output buffer is too small");
    }
    unsigned char* out = pbSignedBlob;
    if (i2d_CMS_ContentInfo(message.cms.get(), &out) != static_cast<int>(length))
        return failWithOpenSsl(CRYPT_E_ASN1_ERROR, "the message cannot be encoded");
    *pcbSignedBlob = length;
    SetLastError(0);
    return TRUE;
}

} // namespace plombar::crypto

#include "VerifyApi.h"

#include "CryptoInternal.h"
#include "GostRuntime.h"
#include "platform/SystemErrors.h"

#include <chrono>

namespace plombar::crypto {

using namespace plombar::winerr;
using namespace detail;

namespace {

// BIO_write counts in int; the content goes through the digest chain in pieces of this size.
constexpr std::size_t kWriteChunk = std::size_t{1} << 30;

// 1601-01-01 to 1970-01-01 in seconds.
constexpr std::int64_t kEpochDifference = 11644473600LL;
constexpr std::int64_t kTicksPerSecond = 10000000LL;

std::uint64_t ticksOf(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME fileTimeOfTicks(std::uint64_t ticks) {
    FILETIME time{};
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

// The certificate the message carries for this signer, or null.
X509Ptr signerCertificate(CMS_ContentInfo* cms, CMS_SignerInfo* signer) {
    X509StackPtr certificates(CMS_get1_certs(cms));
    if (!certificates)
        return nullptr;
    for (int i = 0; i < sk_X509_num(certificates.get()); ++i) {
        X509* certificate = sk_X509_value(certificates.get(), i);
        if (CMS_SignerInfo_cert_cmp(signer, certificate) == 0) {
            X509_up_ref(certificate);
            return X509Ptr(certificate);
        }
    }
    return nullptr;
}

// When the caller lends a digest state of exactly this one content element (ContentDigestScope)
// and the message asks for that one digest only, the chain continues from it instead of hashing
// the content again.
bool takeOverLentDigest(BIO* chain, DWORD count, const BYTE* const contents[], const DWORD lengths[]) {
    if (count != 1)
        return false;
    BIO* digestBio = BIO_find_type(chain, BIO_TYPE_MD);
    if (digestBio == nullptr || BIO_find_type(BIO_next(digestBio), BIO_TYPE_MD) != nullptr)
        return false;
    const EVP_MD* md = nullptr;
    EVP_MD_CTX* target = nullptr;
    if (BIO_get_md(digestBio, &md) != 1 || md == nullptr || BIO_get_md_ctx(digestBio, &target) != 1 ||
        target == nullptr)
        return false;
    const EVP_MD_CTX* lent = lentContentDigest(contents[0], lengths[0], md);
    return lent != nullptr && EVP_MD_CTX_copy_ex(target, lent) == 1;
}

// Whether the signer's digest algorithm names a digest (or, as some senders write it, a signature
// algorithm with one). OpenSSL does not refuse an unknown identifier there: without signed
// attributes it may pair it with a digest of the chain and report a match, or not, depending on how
// that digest was loaded.
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

} // namespace

FILETIME FileTimeFromUnix(std::int64_t seconds) {
    const std::int64_t since1601 = seconds + kEpochDifference;
    return fileTimeOfTicks(since1601 <= 0 ? 0 : static_cast<std::uint64_t>(since1601) * kTicksPerSecond);
}

std::int64_t UnixFromFileTime(const FILETIME& time) {
    return static_cast<std::int64_t>(ticksOf(time) / kTicksPerSecond) - kEpochDifference;
}

FILETIME CurrentFileTime() {
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    const std::int64_t ticks = sinceEpoch / 100 + kEpochDifference * kTicksPerSecond;
    return fileTimeOfTicks(ticks <= 0 ? 0 : static_cast<std::uint64_t>(ticks));
}

LONG CertVerifyTimeValidity(const FILETIME* pTimeToVerify, const CERT_INFO* pCertInfo) {
    if (pCertInfo == nullptr) {
        SetLastError(E_INVALIDARG);
        return 1;
    }
    const std::uint64_t now = ticksOf(pTimeToVerify != nullptr ? *pTimeToVerify : CurrentFileTime());
    if (now < ticksOf(pCertInfo->NotBefore))
        return -1;
    if (now > ticksOf(pCertInfo->NotAfter))
        return 1;
    return 0;
}

BOOL CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                         const BYTE* pbDetachedSignBlob, DWORD cbDetachedSignBlob,
                                         DWORD cToBeSigned, const BYTE* rgpbToBeSigned[],
                                         DWORD rgcbToBeSigned[], PCCERT_CONTEXT* ppSignerCert) {
    clearDiagnostic();
    if (ppSignerCert != nullptr)
        *ppSignerCert = nullptr;
    if (pVerifyPara == nullptr)
        return fail(E_INVALIDARG, "no parameters");
    if (!IsAcceptedParaSize<CRYPT_VERIFY_MESSAGE_PARA>(pVerifyPara->cbSize, kVerifyMessageParaSize32))
        return fail(E_INVALIDARG, "CRYPT_VERIFY_MESSAGE_PARA.cbSize is neither 20 nor the structure's size");
    if ((pVerifyPara->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) == 0)
        return fail(E_INVALIDARG, "the message encoding must include PKCS_7_ASN_ENCODING");
    if (pVerifyPara->pfnGetSignerCertificate != nullptr)
        return fail(E_INVALIDARG,
                    "a signer certificate callback is not supported: the certificate comes from "
                    "the message");
    if (cToBeSigned != 0 && (rgpbToBeSigned == nullptr || rgcbToBeSigned == nullptr))
        return fail(E_INVALIDARG, "the content list is missing");
    for (DWORD i = 0; i < cToBeSigned; ++i)
        if (rgpbToBeSigned[i] == nullptr && rgcbToBeSigned[i] != 0)
            return fail(E_INVALIDARG, "content element without bytes");
    if (pbDetachedSignBlob == nullptr || cbDetachedSignBlob == 0)
        return fail(CRYPT_E_ASN1_BADTAG, "no signed message");

    if (!GostRuntimeReady())
        return fail(NTE_PROVIDER_DLL_FAIL, GostRuntimeErrorText());

    const unsigned char* p = pbDetachedSignBlob;
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(cbDetachedSignBlob)));
    if (!cms)
        return failWithOpenSsl(CRYPT_E_ASN1_BADTAG, "not a PKCS #7/CMS message");
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
        return fail(CRYPT_E_UNEXPECTED_MSG_TYPE,
                    "the message is " + DottedOid(CMS_get0_type(cms.get())) + ", not signed-data");

    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    const int signerCount = signers != nullptr ? sk_CMS_SignerInfo_num(signers) : 0;
    if (dwSignerIndex >= static_cast<DWORD>(signerCount < 0 ? 0 : signerCount))
        return fail(CRYPT_E_NO_SIGNER, "the message has " + std::to_string(signerCount) +
                                           " signer(s), none with index " + std::to_string(dwSignerIndex));
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, static_cast<int>(dwSignerIndex));

    X509Ptr certificate = signerCertificate(cms.get(), signer);
    if (!certificate) {
        ClearOpenSslErrors();
        return fail(CRYPT_E_NOT_FOUND, "the signer's certificate is not in the message");
    }
    CMS_SignerInfo_set1_signer_cert(signer, certificate.get());
    if (!signerDigestKnown(signer)) {
        ClearOpenSslErrors();
        return fail(CRYPT_E_UNKNOWN_ALGO, "the signer's digest algorithm is unknown");
    }

    // The content is written through the message's digest chain into a sink that keeps nothing, so
    // the caller's bytes are hashed where they lie, without a copy.
    BioPtr sink(BIO_new(BIO_s_null()));
    if (!sink)
        return failWithOpenSsl(NTE_NO_MEMORY, "no memory for the content");
    BioPtr chain(CMS_dataInit(cms.get(), sink.get()));
    if (!chain)
        return failWithOpenSsl(CRYPT_E_UNKNOWN_ALGO, "the message's digest algorithm is not usable");
    sink.release(); // the chain owns it now
    if (!takeOverLentDigest(chain.get(), cToBeSigned, rgpbToBeSigned, rgcbToBeSigned)) {
        for (DWORD i = 0; i < cToBeSigned; ++i) {
            const BYTE* data = rgpbToBeSigned[i];
            std::size_t left = rgcbToBeSigned[i];
            while (left > 0) {
                const std::size_t chunk = std::min(left, kWriteChunk);
                if (BIO_write(chain.get(), data, static_cast<int>(chunk)) != static_cast<int>(chunk))
                    return failWithOpenSsl(CRYPT_E_MSG_ERROR, "the content cannot be hashed");
                data += chunk;
                left -= chunk;
            }
        }
    }

    const bool hasSignedAttributes = CMS_signed_get_attr_count(signer) >= 0;
    if (hasSignedAttributes && CMS_SignerInfo_verify(signer) != 1)
        return failWithOpenSsl(NTE_BAD_SIGNATURE, "the signature over the signed attributes does not match");
    if (CMS_SignerInfo_verify_content(signer, chain.get()) != 1) {
        if (hasSignedAttributes)
            return failWithOpenSsl(CRYPT_E_HASH_VALUE, "the content's digest differs from the signed one");
        return failWithOpenSsl(NTE_BAD_SIGNATURE, "the signature does not match the content");
    }
    ClearOpenSslErrors();

    if (ppSignerCert != nullptr) {
        PCCERT_CONTEXT context = adoptCertificate(std::move(certificate));
        if (context == nullptr)
            return FALSE; // adoptCertificate has set the code
        *ppSignerCert = context;
    }
    SetLastError(0);
    return TRUE;
}

} // namespace plombar::crypto

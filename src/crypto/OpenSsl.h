#pragma once

// One owning smart pointer per OpenSSL type, and the error-queue helpers every caller of libcrypto
// uses after a failing call. Nothing here knows about GOST or the store.

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

// After pem.h, in its own block so that sorting keeps it there: PEM_read_bio_CMS is declared only
// when pem.h came first.
#include <openssl/cms.h>

#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

namespace plombar::crypto {

template <auto FreeFunction> struct OpenSslDeleter {
    template <typename T> void operator()(T* p) const noexcept { FreeFunction(p); }
};

using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OpenSslDeleter<X509_NAME_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION_free>>;
using X509SigPtr = std::unique_ptr<X509_SIG, OpenSslDeleter<X509_SIG_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OpenSslDeleter<CMS_ContentInfo_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OpenSslDeleter<PKCS12_free>>;
using Pkcs8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, OpenSslDeleter<PKCS8_PRIV_KEY_INFO_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, OpenSslDeleter<ASN1_OBJECT_free>>;
using Asn1IntegerPtr = std::unique_ptr<ASN1_INTEGER, OpenSslDeleter<ASN1_INTEGER_free>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, OpenSslDeleter<ASN1_TIME_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslDeleter<BN_free>>;

namespace detail {
inline void freeX509Stack(STACK_OF(X509) * stack) noexcept {
    sk_X509_pop_free(stack, X509_free);
}
inline void freeAnySequence(STACK_OF(ASN1_TYPE) * stack) noexcept {
    sk_ASN1_TYPE_pop_free(stack, ASN1_TYPE_free);
}
inline void freeOpenSslBytes(unsigned char* p) noexcept {
    OPENSSL_free(p);
}
inline void freeOpenSslText(char* p) noexcept {
    OPENSSL_free(p);
}
} // namespace detail

using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter<detail::freeX509Stack>>;
using AnySequencePtr = std::unique_ptr<STACK_OF(ASN1_TYPE), OpenSslDeleter<detail::freeAnySequence>>;
using OpenSslBytesPtr = std::unique_ptr<unsigned char, OpenSslDeleter<detail::freeOpenSslBytes>>;
using OpenSslTextPtr = std::unique_ptr<char, OpenSslDeleter<detail::freeOpenSslText>>;

// Bytes that held secret material (a decoded key, a password): cleansed, then freed.
class CleansedBytes {
public:
    CleansedBytes() = default;
    CleansedBytes(unsigned char* data, long length) noexcept : data_(data), length_(length) {}
    CleansedBytes(const CleansedBytes&) = delete;
    CleansedBytes& operator=(const CleansedBytes&) = delete;
    ~CleansedBytes() { reset(); }
    void reset(unsigned char* data = nullptr, long length = 0) noexcept {
        if (data_ != nullptr)
            OPENSSL_clear_free(data_, static_cast<size_t>(length_));
        data_ = data;
        length_ = length;
    }
    const unsigned char* data() const noexcept { return data_; }
    long size() const noexcept { return length_; }

private:
    unsigned char* data_ = nullptr;
    long length_ = 0;
};

// Takes every entry of the calling thread's OpenSSL error queue as one text ("; " between entries)
// and leaves the queue empty, so that a later failure never reports a stale reason.
std::string TakeOpenSslErrors();

// Empties the queue without keeping the text (after an expected failure, e.g. a wrong password).
void ClearOpenSslErrors() noexcept;

// The text of one ASN.1 object identifier in canonical dotted form ("1.2.643.7.1.1.1.1"); empty for null.
std::string DottedOid(const ASN1_OBJECT* object);

// A memory BIO's content as text.
std::string BioText(BIO* bio);

// DER encoding of an object through its i2d function; empty when encoding fails.
template <typename T, typename Encoder> std::string EncodeDer(const T* object, Encoder encode) {
    if (object == nullptr)
        return {};
    const int length = encode(object, nullptr);
    if (length <= 0)
        return {};
    std::string der(static_cast<std::size_t>(length), '\0');
    auto* p = reinterpret_cast<unsigned char*>(der.data());
    if (encode(object, &p) != length)
        return {};
    return der;
}

} // namespace plombar::crypto

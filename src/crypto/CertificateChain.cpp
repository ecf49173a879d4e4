#include "CertificateChain.h"

#include "CertificateStore.h"
#include "GostRuntime.h"
#include "platform/DisplayText.h"

#include <openssl/x509_vfy.h>

namespace plombar::crypto {

namespace {

using StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE_free>>;
using StoreContextPtr = std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX_free>>;

// The common name of a name, escaped; the whole name in one line when it has none.
std::string nameText(const X509_NAME* name) {
    if (name == nullptr)
        return "?";
    const int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (at >= 0) {
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, value);
        if (length >= 0) {
            const OpenSslBytesPtr owned(utf8);
            return escapeForDisplay(
                std::string_view(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length)));
        }
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    return escapeForDisplay(BioText(bio.get()));
}

std::string quoted(const std::string& text) {
    return "«" + text + "»";
}

} // namespace

TrustAnchors TrustAnchors::fromStores() {
    TrustAnchors anchors;
    for (const StoreEntry& entry : CertificateStore::open(CertificateStore::kRoot).entries())
        anchors.roots.push_back(entry.certificate);
    for (const StoreEntry& entry : CertificateStore::open(CertificateStore::kIntermediate).entries())
        anchors.intermediates.push_back(entry.certificate);
    return anchors;
}

std::string chainErrorText(int error, X509* certificate) {
    const std::string subject =
        certificate != nullptr ? quoted(nameText(X509_get_subject_name(certificate))) : "";
    const std::string issuer =
        certificate != nullptr ? quoted(nameText(X509_get_issuer_name(certificate))) : "";
    switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "не найден сертификат издателя " + issuer;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return "корневой сертификат " + subject + " не входит в доверенные";
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
        return "сертификат " + subject + " не является доверенным";
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        return "неверная подпись сертификата " + subject;
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        return "не удалось прочитать открытый ключ издателя " + issuer;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "сертификат " + subject + " еще не действует";
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "истек срок действия сертификата " + subject;
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        return "неверный срок действия в сертификате " + subject;
    case X509_V_ERR_INVALID_CA:
        return "сертификат " + subject + " не является сертификатом центра сертификации";
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
        return "сертификат " + subject + " не разрешает подписывать сертификаты";
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
        return "слишком длинная цепочка сертификатов";
    case X509_V_ERR_INVALID_PURPOSE:
        return "сертификат " + subject + " не предназначен для подписи";
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
        return "неизвестное критическое расширение в сертификате " + subject;
    default:
        return X509_verify_cert_error_string(error);
    }
}

ChainResult buildChain(const Certificate& signer, const std::vector<Certificate>& messageCertificates,
                       const TrustAnchors& anchors, std::optional<std::chrono::sys_seconds> at) {
    ChainResult result;
    result.chain.push_back(signer);
    if (!GostRuntimeReady()) {
        result.error = X509_V_ERR_UNSPECIFIED;
        result.reason = GostRuntimeErrorText();
        return result;
    }
    StorePtr store(X509_STORE_new());
    X509StackPtr untrusted(sk_X509_new_null());
    StoreContextPtr context(X509_STORE_CTX_new());
    bool ready = store && untrusted && context;
    for (const Certificate& root : anchors.roots)
        ready = ready && X509_STORE_add_cert(store.get(), root.x509()) == 1;
    for (const auto* list : {&messageCertificates, &anchors.intermediates})
        for (const Certificate& certificate : *list)
            ready = ready && X509_add_cert(untrusted.get(), certificate.x509(), X509_ADD_FLAG_UP_REF) == 1;
    ready = ready && X509_STORE_CTX_init(context.get(), store.get(), signer.x509(), untrusted.get()) == 1;
    if (!ready) {
        result.error = X509_V_ERR_OUT_OF_MEM;
        result.reason = "не удалось начать построение цепочки: " + TakeOpenSslErrors();
        return result;
    }
    // Whatever the user put in "Root" is an anchor, also an intermediate trusted directly.
    X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_PARTIAL_CHAIN);
    if (at)
        X509_STORE_CTX_set_time(context.get(), 0, static_cast<time_t>(at->time_since_epoch().count()));

    const bool built = X509_verify_cert(context.get()) == 1;
    // The chain as far as it was built, also after a failure.
    if (STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get()); chain != nullptr) {
        result.chain.clear();
        for (int i = 0; i < sk_X509_num(chain); ++i)
            result.chain.push_back(Certificate::share(sk_X509_value(chain, i)));
        if (result.chain.empty())
            result.chain.push_back(signer);
    }
    if (built) {
        result.built = true;
        ClearOpenSslErrors();
        return result;
    }
    result.error = X509_STORE_CTX_get_error(context.get());
    X509* current = X509_STORE_CTX_get_current_cert(context.get());
    result.reason = chainErrorText(result.error, current != nullptr ? current : signer.x509());
    ClearOpenSslErrors();
    return result;
}

} // namespace plombar::crypto

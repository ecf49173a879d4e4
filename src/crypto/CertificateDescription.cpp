#include "Certificate.h"
#include "CertificateText.h"
#include "GostRuntime.h"

#include "platform/DisplayText.h"
#include "platform/HexText.h"

#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>
#include <optional>

namespace plombar::crypto {

namespace {

std::string hexUpper(const unsigned char* data, std::size_t size, std::string_view separator = {}) {
    return hexText(data, size, HexCase::Upper, separator);
}

std::string withOid(const std::string& name, const std::string& oid) {
    return name == oid ? oid : name + " (" + oid + ")";
}

std::string objectName(const ASN1_OBJECT* object) {
    const std::string oid = DottedOid(object);
    const int nid = OBJ_obj2nid(object);
    return nid != NID_undef ? std::string(OBJ_nid2ln(nid)) + " (" + oid + ")" : oid;
}

std::string parameterItemsText(const ASN1_STRING* sequence) {
    const unsigned char* p = ASN1_STRING_get0_data(sequence);
    AnySequencePtr items(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, ASN1_STRING_length(sequence)));
    std::string text;
    for (int i = 0; items && i < sk_ASN1_TYPE_num(items.get()); ++i) {
        const ASN1_TYPE* item = sk_ASN1_TYPE_value(items.get(), i);
        if (!text.empty())
            text += ", ";
        text += item->type == V_ASN1_OBJECT ? objectName(item->value.object) : std::string("?");
    }
    ClearOpenSslErrors();
    return text;
}

// GOST key parameters are a SEQUENCE of parameter-set identifiers; EC ones a curve identifier.
std::string keyParametersText(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* object = nullptr;
    int type = V_ASN1_UNDEF;
    const void* value = nullptr;
    X509_ALGOR_get0(&object, &type, &value, algorithm);
    switch (type) {
    case V_ASN1_UNDEF:
        return {};
    case V_ASN1_OBJECT:
        return objectName(static_cast<const ASN1_OBJECT*>(value));
    case V_ASN1_SEQUENCE:
        return parameterItemsText(static_cast<const ASN1_STRING*>(value));
    case V_ASN1_NULL:
        return "NULL";
    default:
        break;
    }
    std::string der;
    if (ASN1_TYPE* any = ASN1_TYPE_new()) {
        if (ASN1_TYPE_set1(any, type, value) == 1)
            der = EncodeDer(any, [](const ASN1_TYPE* a, unsigned char** p) { return i2d_ASN1_TYPE(a, p); });
        ASN1_TYPE_free(any);
    }
    ClearOpenSslErrors();
    return hexUpper(reinterpret_cast<const unsigned char*>(der.data()), der.size(), " ");
}

// A decoded extension value with the free function of its method.
struct DecodedExtensionDeleter {
    const X509V3_EXT_METHOD* method;
    void operator()(void* value) const noexcept {
        if (method->it != nullptr)
            ASN1_item_free(static_cast<ASN1_VALUE*>(value), ASN1_ITEM_ptr(method->it));
        else
            method->ext_free(value);
    }
};
using DecodedExtensionPtr = std::unique_ptr<void, DecodedExtensionDeleter>;

struct ConfValueStackDeleter {
    void operator()(STACK_OF(CONF_VALUE) * values) const noexcept {
        sk_CONF_VALUE_pop_free(values, X509V3_conf_free);
    }
};
using ConfValueStackPtr = std::unique_ptr<STACK_OF(CONF_VALUE), ConfValueStackDeleter>;

// The text OpenSSL prints for a string or multi-valued extension, made here from the same pieces
// so that each text taken from the certificate is escaped on its own while the ", " or the line
// breaks between the values stay. Nullopt for the extensions OpenSSL lays out itself.
std::optional<std::string> valuesText(X509_EXTENSION* extension) {
    const X509V3_EXT_METHOD* method = X509V3_EXT_get(extension);
    if (method == nullptr || (method->i2s == nullptr && method->i2v == nullptr))
        return std::nullopt;
    DecodedExtensionPtr decoded(X509V3_EXT_d2i(extension), DecodedExtensionDeleter{method});
    if (!decoded)
        return std::nullopt;
    if (method->i2s != nullptr) {
        OpenSslTextPtr value(method->i2s(method, decoded.get()));
        if (!value)
            return std::nullopt;
        return escapeForDisplay(value.get());
    }
    ConfValueStackPtr values(method->i2v(method, decoded.get(), nullptr));
    if (!values)
        return std::nullopt;
    if (sk_CONF_VALUE_num(values.get()) == 0)
        return std::string("<EMPTY>");
    const char* separator = (method->ext_flags & X509V3_EXT_MULTILINE) != 0 ? "\n" : ", ";
    std::string text;
    for (int i = 0; i < sk_CONF_VALUE_num(values.get()); ++i) {
        const CONF_VALUE* value = sk_CONF_VALUE_value(values.get(), i);
        if (i > 0)
            text += separator;
        if (value->name != nullptr)
            text += escapeForDisplay(value->name);
        if (value->name != nullptr && value->value != nullptr)
            text += ':';
        if (value->value != nullptr)
            text += escapeForDisplay(value->value);
    }
    return text;
}

std::string withoutTrailingBreaks(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string extensionValueText(X509_EXTENSION* extension) {
    std::optional<std::string> text = valuesText(extension);
    ClearOpenSslErrors();
    if (text)
        return withoutTrailingBreaks(*text);
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (bio && X509V3_EXT_print(bio.get(), extension, 0, 0) == 1) {
        // Laid out in lines by OpenSSL's own printer: its line breaks stay, all else is escaped.
        return escapeForDisplay(withoutTrailingBreaks(BioText(bio.get())), true);
    }
    ClearOpenSslErrors();
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
    return hexUpper(ASN1_STRING_get0_data(data), static_cast<std::size_t>(ASN1_STRING_length(data)), " ");
}

int publicKeyBits(X509* certificate) {
    // RSA and EC keys decode without the engine; GOST sizes come from the identifier.
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    ClearOpenSslErrors();
    return key != nullptr ? EVP_PKEY_get_bits(key) : 0;
}

} // namespace

CertificateDescription Certificate::describe() const {
    CertificateDescription d;
    GostRuntimeReady();
    X509* x = x509();
    d.subject = subjectText();
    d.issuer = NameToText(X509_get_issuer_name(x));
    d.issuedTo = commonName();
    d.issuedBy = NameAttribute(X509_get_issuer_name(x), NID_commonName);
    if (d.issuedBy.empty())
        d.issuedBy = d.issuer;
    d.validFrom = LocalTimeText(X509_get0_notBefore(x));
    d.validTo = LocalTimeText(X509_get0_notAfter(x));
    d.organization = NameAttribute(X509_get_subject_name(x), NID_organizationName);
    d.expired = X509_cmp_current_time(X509_get0_notAfter(x)) < 0;
    d.notYetValid = X509_cmp_current_time(X509_get0_notBefore(x)) > 0;

    const std::string keyOid = publicKeyAlgorithm();
    d.keyAlgorithm = PublicKeyAlgorithmName(keyOid, publicKeyBits(x));
    d.publicKeyAlgorithm = withOid(d.keyAlgorithm, keyOid);
    X509_ALGOR* keyAlgorithm = nullptr;
    if (X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &keyAlgorithm, X509_get_X509_PUBKEY(x)) == 1)
        d.publicKeyParameters = keyParametersText(keyAlgorithm);
    const X509_ALGOR* signatureAlgorithm = nullptr;
    X509_get0_signature(nullptr, &signatureAlgorithm, x);
    const ASN1_OBJECT* signatureObject = nullptr;
    X509_ALGOR_get0(&signatureObject, nullptr, nullptr, signatureAlgorithm);
    const std::string signatureOid = DottedOid(signatureObject);
    d.signatureAlgorithm = withOid(SignatureAlgorithmName(signatureOid), signatureOid);
    d.version = "V" + std::to_string(std::clamp<long>(X509_get_version(x), 0, 2) + 1);

    const std::string serial = serialNumber();
    d.serialNumber = hexUpper(reinterpret_cast<const unsigned char*>(serial.data()), serial.size());
    d.thumbprint = thumbprint();

    for (int i = 0; i < X509_get_ext_count(x); ++i) {
        X509_EXTENSION* extension = X509_get_ext(x, i);
        d.extensionOids.push_back(DottedOid(X509_EXTENSION_get_object(extension)));
        std::string name = objectName(X509_EXTENSION_get_object(extension));
        if (X509_EXTENSION_get_critical(extension))
            name += ", критическое";
        d.extensions.emplace_back(std::move(name), extensionValueText(extension));
    }
    return d;
}

} // namespace plombar::crypto

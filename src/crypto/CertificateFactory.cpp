#include "CertificateFactory.h"

#include "GostRuntime.h"
#include "platform/Errors.h"

#include <openssl/rand.h>
#include <openssl/rsa.h>

namespace plombar::crypto {

namespace {

struct AlgorithmInfo {
    KeyAlgorithm algorithm;
    const char* name;
    int nid;
    const char* paramset;
};

constexpr AlgorithmInfo kAlgorithms[] = {
    {KeyAlgorithm::Gost2001, "2001", NID_id_GostR3410_2001, "A"},
    {KeyAlgorithm::Gost2012_256, "2012-256", NID_id_GostR3410_2012_256, "A"},
    {KeyAlgorithm::Gost2012_512, "2012-512", NID_id_GostR3410_2012_512, "A"},
    {KeyAlgorithm::Rsa2048, "rsa", EVP_PKEY_RSA, nullptr},
    {KeyAlgorithm::EcP256, "ec", EVP_PKEY_EC, nullptr},
};

const AlgorithmInfo& infoOf(KeyAlgorithm algorithm) {
    for (const auto& info : kAlgorithms)
        if (info.algorithm == algorithm)
            return info;
    return kAlgorithms[1];
}

[[noreturn]] void raise(const std::string& what) {
    const std::string reasons = TakeOpenSslErrors();
    throw Error(what + (reasons.empty() ? "" : ": " + reasons));
}

void addExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
    X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, context, nid, value));
    if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1)
        raise("Не удалось добавить расширение сертификата");
}

} // namespace

const char* KeyAlgorithmName(KeyAlgorithm algorithm) {
    return infoOf(algorithm).name;
}

bool ParseKeyAlgorithm(const std::string& text, KeyAlgorithm& algorithm) {
    for (const auto& info : kAlgorithms)
        if (text == info.name) {
            algorithm = info.algorithm;
            return true;
        }
    return false;
}

EvpPkeyPtr GenerateKey(KeyAlgorithm algorithm) {
    const AlgorithmInfo& info = infoOf(algorithm);
    if (info.paramset != nullptr && !GostRuntimeReady())
        throw Error(GostRuntimeErrorText());
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_id(info.nid, nullptr));
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1)
        raise("Не удалось создать ключ " + std::string(info.name));
    if (info.paramset != nullptr && EVP_PKEY_CTX_ctrl_str(context.get(), "paramset", info.paramset) <= 0)
        raise("Не удалось выбрать параметры ключа " + std::string(info.name));
    if (algorithm == KeyAlgorithm::Rsa2048 && EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), 2048) <= 0)
        raise("Не удалось выбрать длину ключа RSA");
    if (algorithm == KeyAlgorithm::EcP256 &&
        EVP_PKEY_CTX_set_ec_paramgen_curve_nid(context.get(), NID_X9_62_prime256v1) <= 0)
        raise("Не удалось выбрать кривую ключа EC");
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen(context.get(), &key) != 1)
        raise("Не удалось создать ключ " + std::string(info.name));
    return EvpPkeyPtr(key);
}

X509Ptr MakeCertificate(const CertificateFields& fields, EVP_PKEY* key) {
    if (fields.subject == nullptr || key == nullptr)
        throw Error("Нет имени владельца или ключа для сертификата");
    X509Ptr certificate(X509_new());
    if (!certificate)
        raise("Недостаточно памяти");
    X509* x = certificate.get();

    std::string serial = fields.serial;
    if (serial.empty()) {
        serial.assign(16, '\0');
        if (RAND_bytes(reinterpret_cast<unsigned char*>(serial.data()), 16) != 1)
            raise("Нет случайных чисел для серийного номера");
        serial[0] = static_cast<char>((serial[0] & 0x7F) | 0x40); // positive, full 16 bytes
    }
    BignumPtr serialNumber(BN_bin2bn(reinterpret_cast<const unsigned char*>(serial.data()),
                                     static_cast<int>(serial.size()), nullptr));
    const std::time_t notBefore = fields.notBefore != 0 ? fields.notBefore : std::time(nullptr) - 3600;
    const std::time_t notAfter = fields.notAfter != 0 ? fields.notAfter : notBefore + 366L * 24 * 3600;
    X509_NAME* issuerName = fields.issuer != nullptr ? X509_get_subject_name(fields.issuer) : fields.subject;
    if (X509_set_version(x, 2) != 1 || !serialNumber ||
        !BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(x)) ||
        X509_set_subject_name(x, fields.subject) != 1 || X509_set_issuer_name(x, issuerName) != 1 ||
        !ASN1_TIME_set(X509_getm_notBefore(x), notBefore) ||
        !ASN1_TIME_set(X509_getm_notAfter(x), notAfter) || X509_set_pubkey(x, key) != 1)
        raise("Не удалось заполнить сертификат");

    X509V3_CTX context;
    X509V3_set_ctx(&context, fields.issuer != nullptr ? fields.issuer : x, x, nullptr, nullptr, 0);
    if (fields.authority) {
        addExtension(x, &context, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(x, &context, NID_key_usage, "critical,digitalSignature,keyCertSign,cRLSign");
    } else {
        addExtension(x, &context, NID_basic_constraints, "critical,CA:FALSE");
        const bool rsa = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
        addExtension(
            x, &context, NID_key_usage,
            rsa ? "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment"
                : "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyAgreement");
    }
    addExtension(x, &context, NID_subject_key_identifier, "hash");
    if (!fields.crlDistributionPoints.empty()) {
        std::string points;
        for (const auto& url : fields.crlDistributionPoints) {
            if (url.find_first_of(",\n") != std::string::npos)
                throw Error("Недопустимый адрес списка отзыва: " + url);
            points += (points.empty() ? "URI:" : ",URI:") + url;
        }
        addExtension(x, &context, NID_crl_distribution_points, points.c_str());
    }

    EVP_PKEY* signingKey = fields.issuerKey != nullptr ? fields.issuerKey : key;
    int digestNid = NID_undef;
    if (EVP_PKEY_get_default_digest_nid(signingKey, &digestNid) <= 0 || digestNid == NID_undef)
        digestNid = NID_sha256;
    const EVP_MD* md = EVP_get_digestbynid(digestNid);
    if (md == nullptr || X509_sign(x, signingKey, md) <= 0)
        raise("Не удалось подписать сертификат");
    return certificate;
}

} // namespace plombar::crypto

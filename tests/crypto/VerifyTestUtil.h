#pragma once

// Signed messages for the verification tests, made in-process with OpenSSL's own CMS code (not
// with ours), so that the checks of our verification never rest on our signing alone. Also
// byte-level helpers for DER names and damaged messages.

#include "TestPki.h"

#include "crypto/OpenSsl.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace plombar::test {

struct CmsSignOptions {
    bool detached = true;
    bool attributes = false;              // signed attributes (contentType, signingTime, messageDigest)
    bool signerCertificate = true;        // the signer's certificate inside the message
    std::vector<X509*> extraCertificates; // added to the message as well
};

inline CmsSignOptions withAttributes() {
    CmsSignOptions options;
    options.attributes = true;
    return options;
}
inline CmsSignOptions attachedMessage() {
    CmsSignOptions options;
    options.detached = false;
    return options;
}
// Without the signer's certificate, with `others` instead.
inline CmsSignOptions withoutSignerCertificate(std::vector<X509*> others = {}) {
    CmsSignOptions options;
    options.signerCertificate = false;
    options.extraCertificates = std::move(others);
    return options;
}
inline CmsSignOptions withExtraCertificates(std::vector<X509*> others) {
    CmsSignOptions options;
    options.extraCertificates = std::move(others);
    return options;
}

// The digest a key signs with: GOST R 34.11-94 / 34.11-2012 256 / 512 for GOST keys, SHA-256 otherwise.
inline const EVP_MD* digestForKey(EVP_PKEY* key) {
    switch (EVP_PKEY_get_base_id(key)) {
    case NID_id_GostR3410_2001:
        return EVP_get_digestbynid(NID_id_GostR3411_94);
    case NID_id_GostR3410_2012_256:
        return EVP_get_digestbynid(NID_id_GostR3411_2012_256);
    case NID_id_GostR3410_2012_512:
        return EVP_get_digestbynid(NID_id_GostR3411_2012_512);
    default:
        return EVP_sha256();
    }
}

// A DER signed-data message over `content` with one signer.
inline std::string cmsSign(const TestIdentity& signer, const std::string& content,
                           const CmsSignOptions& options = {}) {
    using namespace plombar::crypto;
    unsigned flags = CMS_BINARY | CMS_PARTIAL;
    if (options.detached)
        flags |= CMS_DETACHED;
    if (!options.attributes)
        flags |= CMS_NOATTR;
    if (!options.signerCertificate)
        flags |= CMS_NOCERTS;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!cms || CMS_add1_signer(cms.get(), signer.certificate.get(), signer.key.get(),
                                digestForKey(signer.key.get()), flags) == nullptr)
        throw std::runtime_error("CMS signer: " + TakeOpenSslErrors());
    for (X509* certificate : options.extraCertificates)
        if (CMS_add1_cert(cms.get(), certificate) != 1)
            throw std::runtime_error("CMS certificate: " + TakeOpenSslErrors());
    BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    if (CMS_final(cms.get(), in.get(), nullptr, flags) != 1)
        throw std::runtime_error("CMS final: " + TakeOpenSslErrors());
    return EncodeDer(cms.get(),
                     [](const CMS_ContentInfo* c, unsigned char** p) { return i2d_CMS_ContentInfo(c, p); });
}

// The message with one byte of its first signer's signature value changed.
inline std::string damageSignatureValue(const std::string& der) {
    using namespace plombar::crypto;
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (!cms)
        throw std::runtime_error("not a CMS message");
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
    const std::string bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                            static_cast<std::size_t>(ASN1_STRING_length(value)));
    const std::size_t at = der.rfind(bytes);
    if (at == std::string::npos)
        throw std::runtime_error("signature value not found");
    std::string damaged = der;
    damaged[at + bytes.size() / 2] = static_cast<char>(damaged[at + bytes.size() / 2] ^ 0x01);
    return damaged;
}

// The message with `certificate` added to its certificates.
inline std::string addCertificate(const std::string& der, X509* certificate) {
    using namespace plombar::crypto;
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (!cms || CMS_add1_cert(cms.get(), certificate) != 1)
        throw std::runtime_error("cannot add the certificate: " + TakeOpenSslErrors());
    return EncodeDer(cms.get(),
                     [](const CMS_ContentInfo* c, unsigned char** p2) { return i2d_CMS_ContentInfo(c, p2); });
}

// A DER TLV with a definite length.
inline std::string derTlv(unsigned char tag, const std::string& content) {
    std::string out(1, static_cast<char>(tag));
    const std::size_t n = content.size();
    if (n < 0x80) {
        out += static_cast<char>(n);
    } else {
        std::string length;
        for (std::size_t v = n; v > 0; v >>= 8)
            length.insert(length.begin(), static_cast<char>(v & 0xFF));
        out += static_cast<char>(0x80 | length.size());
        out += length;
    }
    return out + content;
}

// The DER of an object identifier given in dotted form.
inline std::string derOid(const std::string& dotted) {
    using namespace plombar::crypto;
    Asn1ObjectPtr object(OBJ_txt2obj(dotted.c_str(), 1));
    if (!object)
        throw std::runtime_error("bad OID " + dotted);
    return EncodeDer(object.get(),
                     [](const ASN1_OBJECT* o, unsigned char** p) { return i2d_ASN1_OBJECT(o, p); });
}

// One attribute of a name: identifier, ASN.1 string tag and the value's bytes as encoded.
struct DerAttribute {
    std::string oid;
    unsigned char tag;
    std::string value;
};

// A Name with RDNs in exactly the order given (multi-valued ones in the order given too, which
// need not be DER's sorted order: readers must keep what they find).
inline std::string derName(const std::vector<std::vector<DerAttribute>>& rdns) {
    std::string sequence;
    for (const auto& rdn : rdns) {
        std::string set;
        for (const auto& attribute : rdn)
            set += derTlv(0x30, derOid(attribute.oid) + derTlv(attribute.tag, attribute.value));
        sequence += derTlv(0x31, set);
    }
    return derTlv(0x30, sequence);
}

} // namespace plombar::test

#pragma once

// A real certificate made huge: the identity's own, with one private extension of `size` bytes of
// noise, signed again by its key (GOST R 34.11-2012 256-bit hash). Its DER encoding.

#include "TestPki.h"

#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>
#include <string>

namespace plombar::faults {

inline std::string certificateWithExtension(const test::TestIdentity& identity, std::size_t size) {
    using namespace plombar::crypto;
    X509Ptr certificate(X509_dup(identity.certificate.get()));
    std::unique_ptr<ASN1_OCTET_STRING, OpenSslDeleter<ASN1_OCTET_STRING_free>> octets(
        ASN1_OCTET_STRING_new());
    {
        const std::string value = test::randomBytes(1 << 20, 77);
        std::string filled;
        filled.reserve(size);
        while (filled.size() < size)
            filled.append(value, 0, std::min(value.size(), size - filled.size()));
        if (ASN1_OCTET_STRING_set(octets.get(), reinterpret_cast<const unsigned char*>(filled.data()),
                                  static_cast<int>(filled.size())) != 1)
            throw std::runtime_error("no memory for the extension");
    }
    const Asn1ObjectPtr oid(OBJ_txt2obj("1.2.643.100.999", 1));
    const X509ExtensionPtr extension(X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, octets.get()));
    if (!extension || X509_add_ext(certificate.get(), extension.get(), -1) != 1 ||
        X509_sign(certificate.get(), identity.key.get(), EVP_get_digestbynid(NID_id_GostR3411_2012_256)) <= 0)
        throw std::runtime_error("cannot make the certificate");
    octets.reset();
    return EncodeDer(certificate.get(), [](const X509* c, unsigned char** p) { return i2d_X509(c, p); });
}

} // namespace plombar::faults

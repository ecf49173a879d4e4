#pragma once

// Shared helpers of the encryption and decryption tests: both calls of the two-call pattern, and a
// walker that finds fields in a DER message so that tests can damage exactly one of them.

#include "CryptoTestUtil.h"

#include "crypto/EnvelopeApi.h"
#include "crypto/OpenSsl.h"

#include <optional>
#include <string>
#include <vector>

namespace plombar::test {

inline constexpr const char* kGost28147Oid = "1.2.643.2.2.21";

struct EnvelopeCall {
    crypto::BOOL ok = crypto::FALSE;
    std::uint32_t error = 0;
    crypto::DWORD sizeCallLength = 0;
    std::string output;
    std::string diagnostic;
    std::string exchangeThumbprint; // the certificate whose key served (decryption)
};

inline crypto::CRYPT_ENCRYPT_MESSAGE_PARA encryptPara(std::string& oid) {
    crypto::CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = crypto::kEncryptMessageParaSize32;
    para.dwMsgEncodingType = crypto::kMessageEncoding;
    para.ContentEncryptionAlgorithm.pszObjId = oid.data();
    return para;
}

// Both calls of CryptEncryptMessage, as the encryption page makes them: the content cipher named by
// the first recipient's public-key algorithm unless `cipherOid` is given. Stops after a failing size call.
inline EnvelopeCall encryptBytes(const std::vector<crypto::PCCERT_CONTEXT>& recipients,
                                 const std::string& content, const char* cipherOid = nullptr) {
    using namespace plombar::crypto;
    std::string oid;
    if (cipherOid != nullptr)
        oid = cipherOid;
    else if (!recipients.empty())
        oid = recipients.front()->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
    CRYPT_ENCRYPT_MESSAGE_PARA para = encryptPara(oid);
    std::vector<PCCERT_CONTEXT> list = recipients;
    const auto* data = reinterpret_cast<const BYTE*>(content.data());
    const auto size = static_cast<DWORD>(content.size());
    EnvelopeCall call;
    DWORD length = 0;
    call.ok = CryptEncryptMessage(&para, static_cast<DWORD>(list.size()), list.data(), data, size, nullptr,
                                  &length);
    call.error = GetLastError();
    call.diagnostic = LastCryptoDiagnostic();
    if (!call.ok)
        return call;
    call.sizeCallLength = length;
    call.output.assign(length, '\0');
    call.ok = CryptEncryptMessage(&para, static_cast<DWORD>(list.size()), list.data(), data, size,
                                  reinterpret_cast<BYTE*>(call.output.data()), &length);
    call.error = GetLastError();
    call.diagnostic = LastCryptoDiagnostic();
    call.output.resize(call.ok ? length : 0);
    return call;
}

// Both calls of CryptDecryptMessage over the given stores; stops after a failing size call.
inline EnvelopeCall decryptBytes(const std::vector<crypto::HCERTSTORE>& stores, const std::string& message) {
    using namespace plombar::crypto;
    std::vector<HCERTSTORE> list = stores;
    CRYPT_DECRYPT_MESSAGE_PARA para{};
    para.cbSize = kDecryptMessageParaSize32;
    para.dwMsgAndCertEncodingType = kMessageEncoding;
    para.cCertStore = static_cast<DWORD>(list.size());
    para.rghCertStore = list.data();
    const auto* data = reinterpret_cast<const BYTE*>(message.data());
    const auto size = static_cast<DWORD>(message.size());
    EnvelopeCall call;
    DWORD length = 0;
    call.ok = CryptDecryptMessage(&para, data, size, nullptr, &length, nullptr);
    call.error = GetLastError();
    call.diagnostic = LastCryptoDiagnostic();
    if (!call.ok)
        return call;
    call.sizeCallLength = length;
    call.output.assign(length, '\0');
    PCCERT_CONTEXT exchange = nullptr;
    // A buffer of length 0 is still a buffer: the data call must run (and use the key) then too.
    static BYTE kEmpty = 0;
    BYTE* out = length != 0 ? reinterpret_cast<BYTE*>(call.output.data()) : &kEmpty;
    call.ok = CryptDecryptMessage(&para, data, size, out, &length, &exchange);
    call.error = GetLastError();
    call.diagnostic = LastCryptoDiagnostic();
    call.output.resize(call.ok ? length : 0);
    CertContextHandle held(exchange);
    if (held)
        call.exchangeThumbprint = CertificateThumbprint(held.get());
    return call;
}

// One TLV of a DER message: where it starts, where its content starts and ends.
struct DerField {
    std::size_t start = 0;
    std::size_t contentStart = 0;
    std::size_t end = 0;
    int tag = 0;
    int cls = 0;
    bool constructed = false;
};

// The TLVs one after the other between `from` and `to`.
inline std::vector<DerField> derChildren(const std::string& der, std::size_t from, std::size_t to) {
    std::vector<DerField> children;
    std::size_t pos = from;
    while (pos < to) {
        const auto* base = reinterpret_cast<const unsigned char*>(der.data());
        const unsigned char* p = base + pos;
        long length = 0;
        int tag = 0;
        int cls = 0;
        const int flags = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(to - pos));
        if ((flags & 0x80) != 0 || (flags & 0x01) != 0)
            break;
        DerField field;
        field.start = pos;
        field.contentStart = static_cast<std::size_t>(p - base);
        field.end = field.contentStart + static_cast<std::size_t>(length);
        field.tag = tag;
        field.cls = cls;
        field.constructed = (flags & V_ASN1_CONSTRUCTED) != 0;
        children.push_back(field);
        pos = field.end;
    }
    crypto::ClearOpenSslErrors();
    return children;
}

// Follows a path of child indexes from the top of a DER message ({0} is the ContentInfo itself).
inline std::optional<DerField> derAt(const std::string& der, const std::vector<std::size_t>& path) {
    std::size_t from = 0;
    std::size_t to = der.size();
    std::optional<DerField> field;
    for (std::size_t index : path) {
        const std::vector<DerField> children = derChildren(der, from, to);
        if (index >= children.size())
            return std::nullopt;
        field = children[index];
        from = field->contentStart;
        to = field->end;
    }
    return field;
}

// Paths in an enveloped message with one recipient: ContentInfo / [0] / EnvelopedData / ...
inline const std::vector<std::size_t> kFirstRecipientPath = {0, 1, 0, 1, 0};   // KeyTransRecipientInfo
inline const std::vector<std::size_t> kEncryptedKeyPath = {0, 1, 0, 1, 0, 3};  // its encryptedKey
inline const std::vector<std::size_t> kContentInfoPath = {0, 1, 0, 2};         // EncryptedContentInfo
inline const std::vector<std::size_t> kEncryptedContentPath = {0, 1, 0, 2, 2}; // its encryptedContent

inline crypto::CmsPtr parseCms(const std::string& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    crypto::CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    crypto::ClearOpenSslErrors();
    return cms;
}

inline std::string encodeCms(CMS_ContentInfo* cms) {
    return crypto::EncodeDer(cms, [](const CMS_ContentInfo* c, unsigned char** p) {
        return i2d_CMS_ContentInfo(const_cast<CMS_ContentInfo*>(c), p);
    });
}

} // namespace plombar::test

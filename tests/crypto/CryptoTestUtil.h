#pragma once

// Shared helpers of the crypto tests: contexts out of a test store and one-shot signing.

#include "TestPki.h"

#include "crypto/CryptoApi.h"
#include "crypto/CryptoHandles.h"
#include "platform/SystemErrors.h"

#include <gtest/gtest.h>

#include <string>

namespace plombar::test {

// The context of the store entry with this thumbprint (a new reference), or an empty handle.
inline crypto::CertContextHandle findInStore(crypto::HCERTSTORE store, const std::string& thumbprint) {
    crypto::PCCERT_CONTEXT context = nullptr;
    while ((context = crypto::CertEnumCertificatesInStore(store, context)) != nullptr)
        if (crypto::CertificateThumbprint(context) == thumbprint)
            return crypto::CertContextHandle(context);
    return {};
}

struct SignCall {
    crypto::BOOL ok = crypto::FALSE;
    std::uint32_t error = 0;
    crypto::DWORD sizeCallLength = 0;
    std::string message;
};

// Both calls of the two-call pattern; stops after a failing size call.
inline SignCall signBytes(crypto::PCCERT_CONTEXT signer, const std::string& content, bool detached,
                          const std::string& hashOid) {
    using namespace plombar::crypto;
    SignCall call;
    std::string hash = hashOid;
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = kSignMessageParaSize32;
    para.dwMsgEncodingType = kMessageEncoding;
    para.pSigningCert = signer;
    para.HashAlgorithm.pszObjId = hash.data();
    PCCERT_CONTEXT certificates[] = {signer};
    para.cMsgCert = 1;
    para.rgpMsgCert = certificates;
    const BYTE* data[] = {reinterpret_cast<const BYTE*>(content.data())};
    DWORD lengths[] = {static_cast<DWORD>(content.size())};
    DWORD length = 0;
    call.ok = CryptSignMessage(&para, detached, 1, data, lengths, nullptr, &length);
    call.error = GetLastError();
    if (!call.ok)
        return call;
    call.sizeCallLength = length;
    call.message.assign(length, '\0');
    call.ok = CryptSignMessage(&para, detached, 1, data, lengths,
                               reinterpret_cast<BYTE*>(call.message.data()), &length);
    call.error = GetLastError();
    call.message.resize(call.ok ? length : 0);
    return call;
}

} // namespace plombar::test

#pragma once

// Helpers of the streaming signing, verification and encryption tests: sources that hand out
// bytes in awkward pieces, a progress that cancels, and one-line calls of the operations.

#include "VerifyTestUtil.h"

#include "crypto/ContentEncryption.h"
#include "crypto/ContentSigning.h"
#include "crypto/CryptoError.h"
#include "crypto/SignatureVerification.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace plombar::test {

// Raises CancelledError once `limit` bytes are reported done; remembers what it heard.
class CancellingProgress final : public Progress {
public:
    explicit CancellingProgress(std::uint64_t limit) : limit_(limit) {}
    void beginStage(std::string_view, std::uint64_t) override {}
    void advance(std::uint64_t done) override {
        monotonic_ = monotonic_ && done >= last_;
        last_ = done;
        if (done >= limit_)
            throw CancelledError();
    }
    std::uint64_t last() const { return last_; }
    bool monotonic() const { return monotonic_; }

private:
    std::uint64_t limit_;
    std::uint64_t last_ = 0;
    bool monotonic_ = true;
};

inline const char* hashOidFor(crypto::KeyAlgorithm algorithm) {
    switch (algorithm) {
    case crypto::KeyAlgorithm::Gost2001:
        return "1.2.643.2.2.9";
    case crypto::KeyAlgorithm::Gost2012_512:
        return "1.2.643.7.1.1.2.3";
    default:
        return "1.2.643.7.1.1.2.2";
    }
}

inline std::string streamSign(const TestIdentity& signer, const std::string& content,
                              crypto::SignatureLayout layout, crypto::KeyAlgorithm algorithm,
                              crypto::SignedAttributes attributes = crypto::SignedAttributes::None) {
    crypto::SignOptions options;
    options.layout = layout;
    options.hashOid = hashOidFor(algorithm);
    options.attributes = attributes;
    MemorySource source(content);
    MemorySink out;
    crypto::signContent(source, content.size(), {signer.certificate.get(), signer.key.get()}, options, out);
    return out.take();
}

inline crypto::VerificationResult streamVerify(const std::string& signature,
                                               const std::string* data = nullptr,
                                               std::vector<X509*> extra = {},
                                               std::string* extracted = nullptr) {
    MemorySource message(signature);
    MemorySource content(data != nullptr ? *data : std::string_view());
    MemorySink out;
    crypto::VerifyOptions options;
    options.data = data != nullptr ? &content : nullptr;
    options.extraCertificates = std::move(extra);
    options.contentOut = &out;
    crypto::VerificationResult result = crypto::verifySignature(message, options);
    if (extracted != nullptr)
        *extracted = out.take();
    return result;
}

inline std::string streamEncrypt(const TestIdentity& recipient, const std::string& content) {
    MemorySource source(content);
    MemorySink out;
    crypto::encryptContent(source, content.size(), recipient.certificate.get(), out);
    return out.take();
}

// A candidate whose key is this identity's, counting how often it was asked for.
inline crypto::DecryptionCandidate candidateOf(const TestIdentity& identity, int* asked = nullptr) {
    return {identity.certificate.get(), [&identity, asked] {
                if (asked != nullptr)
                    ++*asked;
                EVP_PKEY_up_ref(identity.key.get());
                return crypto::EvpPkeyPtr(identity.key.get());
            }};
}

inline std::string streamDecrypt(const std::string& message,
                                 const std::vector<crypto::DecryptionCandidate>& candidates,
                                 std::size_t* chosen = nullptr) {
    MemorySource source(message);
    MemorySink out;
    const crypto::DecryptionResult result = crypto::decryptMessage(source, candidates, out);
    if (chosen != nullptr)
        *chosen = result.candidate;
    EXPECT_EQ(result.contentSize, out.bytes().size());
    return out.take();
}

// Runs `call` and returns the CryptoError it raised; fails the test when it raised none.
inline std::optional<crypto::CryptoError> cryptoErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const crypto::CryptoError& error) {
        return error;
    }
    ADD_FAILURE() << "no CryptoError";
    return std::nullopt;
}

inline crypto::CmsPtr parseCms(const std::string& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return crypto::CmsPtr(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
}

// OpenSSL's own encoding of what it decodes from `der`.
inline std::string reencode(const std::string& der) {
    const crypto::CmsPtr cms = parseCms(der);
    if (!cms)
        return "(OpenSSL cannot decode it)";
    return crypto::EncodeDer(
        cms.get(), [](const CMS_ContentInfo* c, unsigned char** q) { return i2d_CMS_ContentInfo(c, q); });
}

} // namespace plombar::test

#pragma once

// The outer layers of the two CMS messages whose content streams: signed data and enveloped data.
//
// Reading: SignedDataInput and EnvelopedDataInput walk ContentInfo → SignedData / EnvelopedData →
// the content octets with a BerReader, keep every other field as its encoded bytes, and rebuild the
// message without its content for OpenSSL's decoder, which cannot decode a message incrementally.
//
// Writing: StreamedLayout takes OpenSSL's DER of a message whose content is empty and gives the
// bytes that go before and after a content of any length, so that a message of gigabytes is written
// with the lengths OpenSSL would write, without ever holding its content.

#include "crypto/BerReader.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace plombar::crypto {

class SignedDataInput {
public:
    // Reads a ContentInfo of type signed-data up to its content. Raises CryptoError: BadMessage for
    // what is not such a message, UnexpectedMessageType for a CMS message of another type.
    explicit SignedDataInput(BerReader& reader);

    // Whether the message carries its content (eContent present).
    bool hasContent() const noexcept { return hasContent_; }
    // The content octets; only when hasContent(), and only before finish().
    ByteSource& content();

    // The same message with its digest algorithms only (no content, certificates or signers): what
    // OpenSSL needs to set up the digests before the content passes.
    std::string digestSkeleton() const;

    // Reads the fields after the content (passing over the content where it was not read):
    // certificates, CRLs and signer infos.
    void finish();
    // After finish(): the message without its content, for d2i_CMS_ContentInfo.
    std::string withoutContent() const;

private:
    BerReader& reader_;
    std::string contentType_, version_, digestAlgorithms_, encapsulatedType_;
    std::string certificates_, crls_, signerInfos_;
    bool hasContent_ = false;
    bool finished_ = false;
};

class EnvelopedDataInput {
public:
    // Reads a ContentInfo of type enveloped-data up to its encrypted content. Raises CryptoError like
    // SignedDataInput.
    explicit EnvelopedDataInput(BerReader& reader);

    bool hasContent() const noexcept { return hasContent_; }
    ByteSource& content(); // the encrypted content octets; only when hasContent(), before finish()

    const std::string& contentAlgorithm() const noexcept { return contentAlgorithm_; }
    const std::string& recipientInfos() const noexcept { return recipientInfos_; }

    // The message without its encrypted content and with `unprotectedAttributes` (an encoded [1]
    // element, or empty for none), for d2i_CMS_ContentInfo.
    std::string withoutContent(std::string_view unprotectedAttributes) const;

    // Reads what follows the content (the unprotected attributes) and the ends of the message.
    void finish();
    // After finish(): the encoded [1] element of unprotected attributes, empty when there is none.
    const std::string& unprotectedAttributes() const noexcept { return unprotectedAttributes_; }

private:
    BerReader& reader_;
    std::string contentType_, version_, originatorInfo_, recipientInfos_;
    std::string encryptedType_, contentAlgorithm_, unprotectedAttributes_;
    bool hasContent_ = false;
    bool finished_ = false;
};

class StreamedLayout {
public:
    // `der`: OpenSSL's DER of a message whose content element, reached from the outermost element by
    // the child indexes `path`, is empty. Raises CryptoError (Failed) when it is not so.
    StreamedLayout(std::string_view der, std::initializer_list<std::size_t> path);

    // Everything before the content octets, for `contentLength` of them.
    std::string head(std::uint64_t contentLength) const;
    // Everything after the content octets.
    const std::string& tail() const noexcept { return tail_; }

private:
    struct Level {
        std::string identifier;
        std::string before; // the children before the one on the path
        std::string after;  // the children after it
    };
    std::vector<Level> levels_;
    std::string leafIdentifier_;
    std::string tail_;
};

// Child indexes of the content element in OpenSSL's DER: ContentInfo → [0] → SignedData →
// encapContentInfo → [0] → OCTET STRING, and ContentInfo → [0] → EnvelopedData →
// encryptedContentInfo → [0] encryptedContent.
inline constexpr std::initializer_list<std::size_t> kSignedContentPath = {1, 0, 2, 1, 0};
inline constexpr std::initializer_list<std::size_t> kEnvelopedContentPath = {1, 0, 2, 2};

} // namespace plombar::crypto

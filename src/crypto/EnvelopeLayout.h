#pragma once

// Inside the crypto layer: where the encrypted content lies in a DER enveloped-data message.
//
// OpenSSL's decoder copies every OCTET STRING it reads, so decoding a 300 MB message whole would
// hold the ciphertext twice. Instead the message is cut in two: its small structure without the
// encrypted content (decoded as an ordinary message whose content is detached) and the position
// of the content's bytes in the caller's buffer, from which they are decrypted in place.

#include <cstddef>
#include <cstdint>
#include <string>

namespace plombar::crypto::detail {

struct EnvelopedLayout {
    // The message with the encryptedContent field left out and every enclosing length shortened
    // accordingly: the DER of the same message with its content detached.
    std::string detached;
    std::size_t contentOffset = 0; // where the encrypted content's octets start in the message
    std::size_t contentLength = 0;
    std::size_t messageLength = 0; // the ContentInfo's own length; bytes after it are ignored
};

// Cuts a ContentInfo of type enveloped-data whose headers use definite lengths and whose
// encryptedContent is one primitive OCTET STRING (what DER producers write). False for anything
// else: another content type, indefinite lengths or a content in segments (BER), a message without
// encrypted content, or bytes that are no ASN.1 at all; the caller then decodes the message whole.
bool SplitEnvelopedMessage(const std::uint8_t* message, std::size_t size, EnvelopedLayout& layout);

} // namespace plombar::crypto::detail

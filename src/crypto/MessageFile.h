#pragma once

// A signature or an envelope file as people receive it, delivered as the message's own bytes
// (DER or BER) in one pass, in memory that does not grow with the file:
//   binary    the message itself;
//   Base64    its Base64 text, with or without line breaks, also after leading blank lines;
//   PEM       "-----BEGIN PKCS7-----", "-----BEGIN CMS-----" or "-----BEGIN PKCS #7 SIGNED DATA-----"
//             armour, also after blank lines or other text.
// How the kinds are told apart: a file whose first byte starts a SEQUENCE (0x30) is binary, unless
// "MI" stands on its first line (before its first zero byte) and it does not decode as one complete
// DER/BER message of the expected kind: then it is Base64, as files whose first line holds "MI"
// always were. (About 1 in 250 DER signatures has those two bytes there by chance.) Any other file
// is PEM when an armour line opens one of its first 64 KiB of lines, else Base64 when its first
// line that is not blank holds "MI", else binary (and then no message: the verification or
// decryption says so).

#include "platform/ByteStreams.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plombar::crypto {

enum class MessageKind { Signed, Enveloped };
enum class MessageEncoding { Binary, Base64, Pem };

class MessageFile {
public:
    // Opens the bytes of the file from their start; called once, or twice when the first line is
    // ambiguous (the first pass then only checks the structure). Errors of the opener and of the
    // sources it gives pass through.
    using Opener = std::function<std::unique_ptr<ByteSource>()>;

    MessageFile(Opener open, MessageKind kind);
    // The file at `path` (FileReader: its open and read errors).
    static MessageFile open(const std::string& path, MessageKind kind);

    MessageFile(MessageFile&&) noexcept;
    MessageFile& operator=(MessageFile&&) noexcept;
    ~MessageFile();

    MessageEncoding encoding() const noexcept;
    // The message's bytes; read it once, to its end.
    ByteSource& message();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace plombar::crypto

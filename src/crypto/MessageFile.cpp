#include "MessageFile.h"

#include "BerReader.h"
#include "CryptoError.h"
#include "codec/Base64.h"
#include "platform/FileReader.h"
#include "platform/SystemErrors.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace plombar::crypto {

namespace {

constexpr std::size_t kProbeSize = 64 * 1024;

// DER of the content type identifiers 1.2.840.113549.1.7.2 (signedData) and .3 (envelopedData).
constexpr std::string_view kSignedDataOid{"\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 11};
constexpr std::string_view kEnvelopedDataOid{"\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x03", 11};

constexpr std::string_view kArmours[] = {"-----BEGIN PKCS7-----", "-----BEGIN CMS-----",
                                         "-----BEGIN PKCS #7 SIGNED DATA-----"};

// Base64 text as messages are sent never goes long without a Base64 character. A file that does
// (say a huge sparse file that starts with "MI") is no message: it is refused once such a run has
// been read, instead of being read to its end for nothing.
class Base64TextGuard final : public ByteSource {
public:
    static constexpr std::uint64_t kLongestGap = 64 * 1024;

    explicit Base64TextGuard(ByteSource& text) : text_(text) {}

    std::size_t read(std::span<std::uint8_t> buffer) override {
        const std::size_t n = text_.read(buffer);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t c = buffer[i];
            const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '+' || c == '/' || c == '=';
            gap_ = base64 ? 0 : gap_ + 1;
            if (gap_ > kLongestGap)
                throw CryptoError(CryptoFailure::BadMessage, winerr::CRYPT_E_ASN1_BADTAG,
                                  "the Base64 text has a gap of more than 64 KiB");
        }
        return n;
    }

private:
    ByteSource& text_;
    std::uint64_t gap_ = 0;
};

// Serves the bytes read ahead, then the rest of the source.
class PrefixedSource final : public ByteSource {
public:
    PrefixedSource(std::string prefix, std::unique_ptr<ByteSource> rest)
        : prefix_(std::move(prefix)), rest_(std::move(rest)) {}
    std::size_t read(std::span<std::uint8_t> buffer) override {
        if (at_ < prefix_.size()) {
            const std::size_t n = std::min(buffer.size(), prefix_.size() - at_);
            std::memcpy(buffer.data(), prefix_.data() + at_, n);
            at_ += n;
            return n;
        }
        return rest_->read(buffer);
    }

private:
    std::string prefix_;
    std::size_t at_ = 0;
    std::unique_ptr<ByteSource> rest_;
};

// The Base64 body of an armour: everything up to the first '-' (of the END line), which never
// stands in Base64 text.
class ArmourBody final : public ByteSource {
public:
    explicit ArmourBody(ByteSource& text) : text_(text) {}
    std::size_t read(std::span<std::uint8_t> buffer) override {
        if (ended_ || buffer.empty())
            return 0;
        const std::size_t n = text_.read(buffer);
        const auto* dash = static_cast<const std::uint8_t*>(std::memchr(buffer.data(), '-', n));
        if (dash == nullptr)
            return n;
        ended_ = true;
        return static_cast<std::size_t>(dash - buffer.data());
    }

private:
    ByteSource& text_;
    bool ended_ = false;
};

std::string readPrefix(ByteSource& source) {
    std::string prefix(kProbeSize, '\0');
    std::size_t filled = 0;
    while (filled < prefix.size()) {
        const std::size_t n = source.read(
            std::span(reinterpret_cast<std::uint8_t*>(prefix.data()) + filled, prefix.size() - filled));
        if (n == 0)
            break;
        filled += n;
    }
    prefix.resize(filled);
    return prefix;
}

// "MI" on the line starting at `from`, before its first zero byte; the line ends at LF, at a CR
// that an LF follows, or at 0x1A.
bool lineHasMarker(std::string_view text, std::size_t from) {
    for (std::size_t i = from; i + 1 < text.size(); ++i) {
        const char c = text[i];
        if (c == '\0' || c == '\n' || c == '\x1A' || (c == '\r' && text[i + 1] == '\n'))
            return false;
        if (c == 'M' && text[i + 1] == 'I')
            return true;
    }
    return false;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the Base64 body of an armour begins (after its BEGIN line), or npos.
std::size_t armourBody(std::string_view text) {
    for (std::size_t line = 0; line < text.size();) {
        for (std::string_view armour : kArmours)
            if (text.substr(line, armour.size()) == armour) {
                const std::size_t end = text.find('\n', line);
                return end == std::string_view::npos ? text.size() : end + 1;
            }
        const std::size_t next = text.find('\n', line);
        if (next == std::string_view::npos)
            break;
        line = next + 1;
    }
    return std::string_view::npos;
}

// Whether the whole source is one BER ContentInfo of the given content type and nothing else.
bool isCompleteMessage(ByteSource& source, std::string_view contentType) {
    try {
        BerReader reader(source);
        const std::optional<BerHeader> info = reader.next();
        if (!info || !info->isUniversal(16, true))
            return false;
        reader.enter();
        const std::optional<BerHeader> type = reader.next();
        if (!type || !type->isUniversal(6, false) || reader.capture() != contentType)
            return false;
        const std::optional<BerHeader> content = reader.next();
        if (!content || !content->is(kContextClass, 0, true))
            return false;
        reader.skip();
        if (reader.next())
            return false;
        reader.leave();
        return !reader.next();
    } catch (const CryptoError&) {
        return false; // not well-formed BER
    }
}

} // namespace

struct MessageFile::State {
    MessageEncoding encoding = MessageEncoding::Binary;
    std::unique_ptr<ByteSource> file;    // the file's bytes, with what was read ahead
    std::unique_ptr<ByteSource> armour;  // the Base64 body of a PEM file
    std::unique_ptr<ByteSource> guard;   // Base64 and PEM: the text, refused at a long gap
    std::unique_ptr<ByteSource> decoder; // Base64 and PEM: the decoded message
};

MessageFile::MessageFile(Opener open, MessageKind kind) : state_(std::make_unique<State>()) {
    std::unique_ptr<ByteSource> source = open();
    std::string prefix = readPrefix(*source);
    const std::string_view contentType = kind == MessageKind::Signed ? kSignedDataOid : kEnvelopedDataOid;

    std::size_t skip = 0; // bytes before the Base64 text
    if (!prefix.empty() && static_cast<unsigned char>(prefix[0]) == 0x30) {
        if (lineHasMarker(prefix, 0)) {
            const std::unique_ptr<ByteSource> again = open();
            state_->encoding =
                isCompleteMessage(*again, contentType) ? MessageEncoding::Binary : MessageEncoding::Base64;
        }
    } else if (const std::size_t body = armourBody(prefix); body != std::string_view::npos) {
        state_->encoding = MessageEncoding::Pem;
        skip = body;
    } else {
        std::size_t first = prefix.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; // a byte order mark
        while (first < prefix.size() && isBlank(prefix[first]))
            ++first;
        if (lineHasMarker(prefix, first))
            state_->encoding = MessageEncoding::Base64;
        skip = first;
    }
    if (state_->encoding == MessageEncoding::Binary) {
        state_->file = std::make_unique<PrefixedSource>(std::move(prefix), std::move(source));
        return;
    }
    prefix.erase(0, skip);
    state_->file = std::make_unique<PrefixedSource>(std::move(prefix), std::move(source));
    ByteSource* text = state_->file.get();
    if (state_->encoding == MessageEncoding::Pem) {
        state_->armour = std::make_unique<ArmourBody>(*state_->file);
        text = state_->armour.get();
    }
    state_->guard = std::make_unique<Base64TextGuard>(*text);
    state_->decoder = std::make_unique<Base64Decoder>(*state_->guard);
}

MessageFile MessageFile::open(const std::string& path, MessageKind kind) {
    return MessageFile([path] { return std::make_unique<FileReader>(path); }, kind);
}

MessageFile::MessageFile(MessageFile&&) noexcept = default;
MessageFile& MessageFile::operator=(MessageFile&&) noexcept = default;
MessageFile::~MessageFile() = default;

MessageEncoding MessageFile::encoding() const noexcept {
    return state_->encoding;
}

ByteSource& MessageFile::message() {
    return state_->decoder ? *state_->decoder : *state_->file;
}

} // namespace plombar::crypto

#include "BerReader.h"

#include "CryptoError.h"
#include "platform/SystemErrors.h"

#include <algorithm>
#include <cstring>

namespace plombar::crypto {

namespace {

constexpr std::size_t kBufferSize = std::size_t{64} << 10;
constexpr std::uint8_t kConstructedBit = 0x20;
constexpr std::uint32_t kMaxTagNumber = (std::uint32_t{1} << 28) - 1;
constexpr std::uint64_t kMaxLength = std::uint64_t{1} << 62;

} // namespace

BerReader::BerReader(ByteSource& source, const BerLimits& limits)
    : source_(source), limits_(limits), buffer_(kBufferSize) {
    Frame root;
    root.indefinite = false;
    root.end = limits_.inputSize;
    root.limit = limits_.inputSize;
    frames_.push_back(root);
}

void BerReader::fail(const std::string& why) const {
    throw CryptoError(CryptoFailure::BadMessage, winerr::CRYPT_E_ASN1_BADTAG,
                      "not a readable CMS message: " + why + " at byte " + std::to_string(position_));
}

// Makes up to `wanted` bytes (at most the buffer's size) available; returns how many are.
std::size_t BerReader::fill(std::size_t wanted) {
    while (end_ - begin_ < wanted && !sourceEnded_) {
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        const std::size_t n = source_.read(std::span(buffer_.data() + end_, buffer_.size() - end_));
        if (n == 0)
            sourceEnded_ = true;
        end_ += n;
    }
    return end_ - begin_;
}

void BerReader::consume(std::size_t count) {
    if (captureInto_ != nullptr) {
        if (captureInto_->size() + count > limits_.maxElement || captured_ + count > limits_.maxTotal)
            fail("an element larger than " + std::to_string(limits_.maxElement) + " bytes");
        captureInto_->append(reinterpret_cast<const char*>(buffer_.data() + begin_), count);
        captured_ += count;
    }
    begin_ += count;
    position_ += count;
}

// Reads up to `wanted` bytes into `out` (null: drops them); 0 only at the end of the input.
std::size_t BerReader::readSome(std::uint8_t* out, std::uint64_t wanted) {
    if (wanted == 0)
        return 0;
    if (begin_ == end_ && out != nullptr && captureInto_ == nullptr && wanted >= buffer_.size() &&
        !sourceEnded_) {
        // Large reads go straight into the caller's buffer.
        const std::size_t n = source_.read(
            std::span(out, static_cast<std::size_t>(std::min<std::uint64_t>(wanted, std::size_t{1} << 30))));
        if (n == 0)
            sourceEnded_ = true;
        position_ += n;
        return n;
    }
    const std::size_t available = fill(1);
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(available, wanted));
    if (out != nullptr && n > 0)
        std::memcpy(out, buffer_.data() + begin_, n);
    consume(n);
    return n;
}

void BerReader::readExactly(std::uint8_t* out, std::uint64_t count) {
    while (count > 0) {
        const std::size_t n = readSome(out, count);
        if (n == 0)
            fail("the input ends inside an element");
        if (out != nullptr)
            out += n;
        count -= n;
    }
}

void BerReader::skipExactly(std::uint64_t count) {
    readExactly(nullptr, count);
}

BerHeader BerReader::readHeader(const Frame& frame) {
    BerHeader header;
    header.offset = position_;
    const std::size_t available = fill(header.encoded.size());
    const auto byteAt = [&](std::size_t i) -> std::uint8_t {
        if (i >= available)
            fail("the input ends inside a header");
        return buffer_[begin_ + i];
    };
    std::size_t at = 0;
    const std::uint8_t first = byteAt(at++);
    header.tagClass = first & 0xC0;
    header.constructed = (first & kConstructedBit) != 0;
    header.tag = first & 0x1F;
    if (header.tag == 0x1F) {
        // High tag number: base 128, most significant group first, no leading zero group.
        header.tag = 0;
        std::uint8_t b = 0;
        do {
            b = byteAt(at++);
            if (header.tag == 0 && b == 0x80)
                fail("a tag number with a leading zero group");
            if (header.tag > (kMaxTagNumber >> 7))
                fail("a tag number too large");
            header.tag = (header.tag << 7) | (b & 0x7F);
        } while ((b & 0x80) != 0);
    }
    header.identifierSize = at;
    const std::uint8_t lengthByte = byteAt(at++);
    if (lengthByte < 0x80) {
        header.length = lengthByte;
    } else if (lengthByte == 0x80) {
        if (!header.constructed)
            fail("a primitive element of indefinite length");
        header.indefinite = true;
    } else {
        // Leading zero octets count for nothing, as OpenSSL reads them (even 127 of them).
        const std::size_t count = lengthByte & 0x7F;
        std::uint64_t length = 0;
        std::size_t significant = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t b = byteAt(at++);
            if (significant == 0 && b == 0)
                continue;
            if (++significant > 8)
                fail("a length of more than eight octets");
            length = (length << 8) | b;
        }
        if (length > kMaxLength)
            fail("an impossible length");
        header.length = length;
    }
    header.headerSize = at;
    if (header.tagClass == kUniversalClass && header.tag == 0)
        fail("end-of-contents octets where an element belongs");
    // Everything must fit into what encloses it.
    if (header.offset + at > frame.limit)
        fail("a header beyond the end of its enclosing element");
    if (!header.indefinite && header.length > frame.limit - (header.offset + at))
        fail("a length beyond the end of its enclosing element");
    std::copy_n(buffer_.data() + begin_, at, header.encoded.data());
    consume(at);
    return header;
}

std::optional<BerHeader> BerReader::next() {
    if (octets_.active())
        octets_.drain();
    if (pending_)
        skip();
    return nextHeader();
}

std::optional<BerHeader> BerReader::nextHeader() {
    Frame& frame = frames_.back();
    if (frame.finished)
        return std::nullopt;
    if (frame.indefinite) {
        const std::size_t available = fill(2);
        if (available < 2)
            fail("the input ends before the end-of-contents octets");
        if (buffer_[begin_] == 0 && buffer_[begin_ + 1] == 0) {
            consume(2);
            frame.finished = true;
            return std::nullopt;
        }
    } else if (position_ >= frame.end) {
        frame.finished = true;
        return std::nullopt;
    } else if (frames_.size() == 1 && fill(1) == 0) {
        frame.finished = true; // the input ended between elements
        return std::nullopt;
    }
    pending_ = readHeader(frame);
    return pending_;
}

const BerHeader& BerReader::takePending(const char* what) {
    if (!pending_)
        throw CryptoError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                          std::string("BER reader used out of order: ") + what + " without an element");
    return *pending_;
}

void BerReader::enter() {
    const BerHeader header = takePending("enter");
    if (!header.constructed)
        fail("a primitive element where a constructed one belongs");
    if (depth() >= limits_.maxDepth)
        fail("elements nested more than " + std::to_string(limits_.maxDepth) + " deep");
    Frame frame;
    frame.indefinite = header.indefinite;
    frame.end = header.indefinite ? 0 : position_ + header.length;
    frame.limit = header.indefinite ? frames_.back().limit : frame.end;
    pending_.reset();
    frames_.push_back(frame);
}

void BerReader::leave() {
    if (frames_.size() <= 1)
        throw CryptoError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                          "BER reader used out of order: leave at the outermost level");
    while (next()) {
    }
    popFrame();
}

void BerReader::popFrame() {
    if (!frames_.back().indefinite && position_ != frames_.back().end)
        fail("an element that ends inside its last child");
    frames_.pop_back();
}

void BerReader::skip() {
    const BerHeader header = takePending("skip");
    if (header.indefinite) {
        enter();
        leave();
        return;
    }
    pending_.reset();
    skipExactly(header.length);
}

std::string BerReader::capture() {
    const BerHeader header = takePending("capture");
    if (!header.indefinite &&
        (header.length > limits_.maxElement - std::min(limits_.maxElement, header.headerSize)))
        fail("an element larger than " + std::to_string(limits_.maxElement) + " bytes");
    std::string bytes(reinterpret_cast<const char*>(header.encoded.data()), header.headerSize);
    captured_ += header.headerSize;
    if (captured_ > limits_.maxTotal)
        fail("elements larger than " + std::to_string(limits_.maxTotal) + " bytes in all");
    captureInto_ = &bytes;
    try {
        if (header.indefinite) {
            enter();
            leave();
        } else {
            pending_.reset();
            skipExactly(header.length);
        }
    } catch (...) {
        captureInto_ = nullptr;
        throw;
    }
    captureInto_ = nullptr;
    return bytes;
}

ByteSource& BerReader::octets() {
    octets_.open();
    return octets_;
}

void BerReader::OctetStream::open() {
    const BerHeader header = reader_.takePending("octets");
    active_ = true;
    segmented_ = header.constructed;
    if (segmented_) {
        reader_.enter();
        baseDepth_ = reader_.depth() - 1;
        remaining_ = 0;
    } else {
        reader_.pending_.reset();
        remaining_ = header.length;
    }
}

void BerReader::OctetStream::drain() {
    std::uint8_t sink[4096];
    while (read(sink) > 0) {
    }
}

std::size_t BerReader::OctetStream::read(std::span<std::uint8_t> buffer) {
    if (!active_ || buffer.empty())
        return 0;
    for (;;) {
        if (remaining_ > 0) {
            const std::size_t n =
                reader_.readSome(buffer.data(), std::min<std::uint64_t>(buffer.size(), remaining_));
            if (n == 0)
                reader_.fail("the input ends inside an octet string");
            remaining_ -= n;
            return n;
        }
        if (!segmented_) {
            active_ = false;
            return 0;
        }
        // The next segment, or the end of a constructed segment or of the whole string.
        const std::optional<BerHeader> segment = reader_.nextHeader();
        if (!segment) {
            reader_.popFrame();
            if (reader_.depth() == baseDepth_) {
                active_ = false;
                return 0;
            }
            continue;
        }
        if (segment->tagClass != kUniversalClass || segment->tag != 4)
            reader_.fail("an octet string segment that is no octet string");
        if (segment->constructed) {
            reader_.enter();
        } else {
            reader_.pending_.reset();
            remaining_ = segment->length;
        }
    }
}

BerElement readBerElement(std::string_view bytes, const BerLimits& limits) {
    MemorySource source(bytes);
    BerLimits bounded = limits;
    bounded.inputSize = std::min<std::uint64_t>(limits.inputSize, bytes.size());
    BerReader reader(source, bounded);
    const std::optional<BerHeader> header = reader.next();
    if (!header)
        throw CryptoError(CryptoFailure::BadMessage, winerr::CRYPT_E_ASN1_BADTAG,
                          "not a readable CMS message: no element");
    reader.skip();
    BerElement element;
    element.header = *header;
    element.bytes = bytes.substr(0, static_cast<std::size_t>(reader.position()));
    const std::size_t trailer = header->indefinite ? 2 : 0;
    element.content =
        element.bytes.substr(header->headerSize, element.bytes.size() - header->headerSize - trailer);
    return element;
}

std::vector<BerElement> readBerChildren(std::string_view bytes, const BerLimits& limits) {
    const BerElement parent = readBerElement(bytes, limits);
    if (!parent.header.constructed)
        throw CryptoError(CryptoFailure::BadMessage, winerr::CRYPT_E_ASN1_BADTAG,
                          "not a readable CMS message: a primitive element where a constructed one belongs");
    std::vector<BerElement> children;
    std::string_view rest = parent.content;
    while (!rest.empty()) {
        BerElement child = readBerElement(rest, limits);
        rest.remove_prefix(child.bytes.size());
        children.push_back(child);
    }
    return children;
}

std::size_t derLengthSize(std::uint64_t length) {
    if (length < 0x80)
        return 1;
    std::size_t octets = 0;
    for (std::uint64_t v = length; v > 0; v >>= 8)
        ++octets;
    return 1 + octets;
}

void appendDerHeader(std::string& out, std::uint8_t identifier, std::uint64_t length) {
    out += static_cast<char>(identifier);
    const std::size_t size = derLengthSize(length);
    if (size == 1) {
        out += static_cast<char>(length);
        return;
    }
    out += static_cast<char>(0x80 | (size - 1));
    for (std::size_t i = size - 1; i-- > 0;)
        out += static_cast<char>((length >> (8 * i)) & 0xFF);
}

std::string derElement(std::uint8_t identifier, std::string_view content) {
    std::string out;
    out.reserve(content.size() + 10);
    appendDerHeader(out, identifier, content.size());
    out += content;
    return out;
}

} // namespace plombar::crypto

#pragma once

// A streaming reader of BER (and so of DER) for the outer layers of a CMS message: it walks the
// element tree in one pass over a ByteSource, hands small elements over whole as their encoded
// bytes (for OpenSSL's d2i_… functions), passes over large ones without holding them, and streams
// the content octets of an OCTET STRING however it is encoded (primitive or in segments, definite or
// indefinite length). It never allocates by a length it read: lengths are checked against the
// enclosing element and the input's size, whole elements against a size limit, nesting against a
// depth limit. Whatever is not well-formed BER raises CryptoError (BadMessage).

#include "platform/ByteStreams.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plombar::crypto {

struct BerLimits {
    std::size_t maxDepth = 40; // constructed elements inside each other (OpenSSL decodes 30 deep)
    std::size_t maxElement = std::size_t{4} << 20; // one element handed over whole
    std::size_t maxTotal = std::size_t{16} << 20;  // all elements handed over by one reader
    std::uint64_t inputSize = std::numeric_limits<std::uint64_t>::max(); // when the caller knows it
};

// Identifier classes, as the top two bits of the first identifier octet.
inline constexpr std::uint8_t kUniversalClass = 0x00;
inline constexpr std::uint8_t kApplicationClass = 0x40;
inline constexpr std::uint8_t kContextClass = 0x80;
inline constexpr std::uint8_t kPrivateClass = 0xC0;

struct BerHeader {
    std::uint64_t offset = 0; // of the first identifier octet, from the start of the input
    std::uint8_t tagClass = kUniversalClass;
    bool constructed = false;
    std::uint32_t tag = 0;
    bool indefinite = false;
    std::uint64_t length = 0; // content octets, when definite
    std::size_t identifierSize = 0;
    std::size_t headerSize = 0;              // identifier and length octets
    std::array<std::uint8_t, 136> encoded{}; // the header as read; length octets may be zero-padded

    bool is(std::uint8_t cls, std::uint32_t number, bool isConstructed) const {
        return tagClass == cls && tag == number && constructed == isConstructed;
    }
    bool isUniversal(std::uint32_t number, bool isConstructed) const {
        return is(kUniversalClass, number, isConstructed);
    }
    bool isContext(std::uint32_t number) const { return tagClass == kContextClass && tag == number; }
    std::string_view identifier() const {
        return {reinterpret_cast<const char*>(encoded.data()), identifierSize};
    }
};

class BerReader {
public:
    explicit BerReader(ByteSource& source, const BerLimits& limits = {});
    BerReader(const BerReader&) = delete;
    BerReader& operator=(const BerReader&) = delete;

    // The header of the next element inside the element entered last (at the start: the outermost
    // element), or nullopt when that element holds no more: its definite length is used up, or its
    // end-of-contents octets came (they are consumed). At the outermost level, nullopt means the
    // input ended. The element whose header came last is passed over first if it was not used.
    std::optional<BerHeader> next();

    // What to do with the element whose header next() returned last:
    void enter();          // go inside (it must be constructed)
    std::string capture(); // its bytes as encoded, header included, within the limits
    void skip();           // pass over it without holding it
    // Its content octets, for an OCTET STRING or an implicitly tagged one: primitive, or
    // constructed of OCTET STRING segments at any depth. The source stays valid until next() or
    // leave(), which pass over whatever of it was not read.
    ByteSource& octets();

    // Passes over the rest of the element entered last and continues in the element around it.
    void leave();

    std::size_t depth() const noexcept { return frames_.size() - 1; }
    std::uint64_t position() const noexcept { return position_; }

private:
    struct Frame {
        bool indefinite = false;
        bool finished = false;
        std::uint64_t end = 0;   // definite: where its contents end
        std::uint64_t limit = 0; // nothing inside may reach beyond this
    };

    class OctetStream final : public ByteSource {
    public:
        explicit OctetStream(BerReader& reader) : reader_(reader) {}
        void open();
        void drain();
        bool active() const noexcept { return active_; }
        std::size_t read(std::span<std::uint8_t> buffer) override;

    private:
        BerReader& reader_;
        bool active_ = false;
        bool segmented_ = false;
        std::size_t baseDepth_ = 0;
        std::uint64_t remaining_ = 0;
    };

    [[noreturn]] void fail(const std::string& why) const;
    std::size_t fill(std::size_t wanted);
    void consume(std::size_t count);
    std::size_t readSome(std::uint8_t* out, std::uint64_t wanted);
    void readExactly(std::uint8_t* out, std::uint64_t count);
    void skipExactly(std::uint64_t count);
    BerHeader readHeader(const Frame& frame);
    std::optional<BerHeader> nextHeader();
    void popFrame();
    const BerHeader& takePending(const char* what);

    ByteSource& source_;
    BerLimits limits_;
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool sourceEnded_ = false;
    std::uint64_t position_ = 0;
    std::vector<Frame> frames_;
    std::optional<BerHeader> pending_;
    std::string* captureInto_ = nullptr;
    std::size_t captured_ = 0;
    OctetStream octets_{*this};
};

// One element of an encoding held in memory.
struct BerElement {
    BerHeader header;
    std::string_view bytes;   // header, contents and end-of-contents octets
    std::string_view content; // the contents only
};

// The element at the start of `bytes` (bytes after it are not looked at).
BerElement readBerElement(std::string_view bytes, const BerLimits& limits = {});

// The elements inside the constructed element at the start of `bytes`, in their order.
std::vector<BerElement> readBerChildren(std::string_view bytes, const BerLimits& limits = {});

// DER: the header of an element with a low tag number (identifier octet `identifier`) and `length`
// content octets, as OpenSSL writes it (definite length, shortest form).
void appendDerHeader(std::string& out, std::uint8_t identifier, std::uint64_t length);
std::size_t derLengthSize(std::uint64_t length);

// An element with the given identifier octet around `content`.
std::string derElement(std::uint8_t identifier, std::string_view content);

} // namespace plombar::crypto

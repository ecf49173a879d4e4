// A signature or envelope file of arbitrary bytes through MessageFile, for either kind, read in
// pieces of an input-chosen size. Contract: nothing but the message's bytes come out and nothing is
// raised; binary gives the file itself, Base64 the tolerant decoding of the whole file, PEM the
// decoding of the armour's body; and whatever OpenSSL decodes as one complete message of the kind
// is binary, whatever stands on its first line.

#include "FuzzSupport.h"

#include "codec/Base64.h"
#include "crypto/MessageFile.h"
#include "crypto/OpenSsl.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using namespace plombar;
using namespace plombar::crypto;
using plombar::fuzz::PieceSource;

namespace {

const char* encodingName(MessageEncoding encoding) {
    switch (encoding) {
    case MessageEncoding::Binary:
        return "binary";
    case MessageEncoding::Base64:
        return "base64";
    case MessageEncoding::Pem:
        return "pem";
    }
    return "?";
}

// OpenSSL's reading: the whole input is one ContentInfo of the given type.
bool opensslReadsWhole(std::string_view bytes, int typeNid) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(bytes.size())));
    const bool whole = cms && p == reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size() &&
                       OBJ_obj2nid(CMS_get0_type(cms.get())) == typeNid;
    ClearOpenSslErrors();
    return whole;
}

// The Base64 body of the first armour line of a known type in the first 64 KiB: after that line, up
// to the first '-'.
std::string armourBody(std::string_view bytes) {
    const std::string_view probe = bytes.substr(0, 64 * 1024);
    for (std::size_t line = 0; line < probe.size();) {
        for (std::string_view armour :
             {"-----BEGIN PKCS7-----", "-----BEGIN CMS-----", "-----BEGIN PKCS #7 SIGNED DATA-----"})
            if (probe.substr(line, armour.size()) == armour) {
                const std::size_t end = probe.find('\n', line);
                const std::string_view body =
                    end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);
                return std::string(body.substr(0, body.find('-')));
            }
        const std::size_t next = probe.find('\n', line);
        if (next == std::string_view::npos)
            break;
        line = next + 1;
    }
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    // First byte: the piece size of the reads (1..256) and the kind; the rest is the file.
    const std::size_t piece = (data[0] >> 1) + 1;
    const MessageKind kind = (data[0] & 1) != 0 ? MessageKind::Enveloped : MessageKind::Signed;
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);

    int opened = 0;
    MessageFile message(
        [&] {
            ++opened;
            return std::make_unique<PieceSource>(file, piece);
        },
        kind);
    FUZZ_CHECK(opened == 1 || opened == 2, std::to_string(opened) + " opens");
    std::string out;
    std::uint8_t buffer[300];
    for (;;) {
        const std::size_t n =
            message.message().read(std::span(buffer, std::min<std::size_t>(piece + 3, 300)));
        if (n == 0)
            break;
        out.append(reinterpret_cast<const char*>(buffer), n);
        FUZZ_CHECK(out.size() <= file.size(), "more bytes out than in");
    }
    const MessageEncoding encoding = message.encoding();
    fuzz::note(std::string(encodingName(encoding)) + ", " + std::to_string(out.size()) + " bytes");
    switch (encoding) {
    case MessageEncoding::Binary:
        FUZZ_CHECK(out == file, "binary is the file itself");
        break;
    case MessageEncoding::Base64:
        FUZZ_CHECK(out == decodeBase64(file), "Base64 is the decoding of the whole file");
        break;
    case MessageEncoding::Pem:
        FUZZ_CHECK(out == decodeBase64(armourBody(file)), "PEM is the decoding of the armour's body");
        break;
    }
    if (opensslReadsWhole(file, kind == MessageKind::Signed ? NID_pkcs7_signed : NID_pkcs7_enveloped))
        FUZZ_CHECK(encoding == MessageEncoding::Binary, "a complete message must be binary");
    return 0;
}

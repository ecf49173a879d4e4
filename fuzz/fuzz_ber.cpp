// The streaming BER reader and the outer layers of signed and enveloped data on arbitrary bytes.
// Contract: only CryptoError of kind BadMessage (or UnexpectedMessageType for another CMS type)
// ever leaves them; the reader never goes back or past the input; and whatever OpenSSL's own
// decoder reads as signed or enveloped data, the streaming layers read too, with the same content
// octets and a structure without content that OpenSSL decodes again.

#include "FuzzSupport.h"

#include "crypto/BerReader.h"
#include "crypto/CmsLayout.h"
#include "crypto/CryptoError.h"
#include "crypto/OpenSsl.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

using namespace plombar;
using namespace plombar::crypto;
using plombar::fuzz::PieceSource;

namespace {

void checkRefusal(const CryptoError& error, bool typeAllowed, const char* where) {
    FUZZ_CHECK(error.kind() == CryptoFailure::BadMessage ||
                   (typeAllowed && error.kind() == CryptoFailure::UnexpectedMessageType),
               std::string(where) + ": " + failureName(error.kind()) + ": " + error.what());
}

// Walks every element: enters constructed ones, streams octet strings, captures or skips the rest.
void walk(BerReader& reader, std::uint64_t size, int& budget) {
    while (const std::optional<BerHeader> header = reader.next()) {
        FUZZ_CHECK(reader.position() <= size, "the reader went past the input");
        if (--budget < 0)
            return;
        if (header->isUniversal(4, header->constructed)) {
            std::uint8_t block[37];
            std::uint64_t total = 0;
            ByteSource& octets = reader.octets();
            while (const std::size_t n = octets.read(block))
                total += n;
            FUZZ_CHECK(total <= size, "more content octets than input");
        } else if (header->constructed && (budget & 1) == 0) {
            reader.enter();
            walk(reader, size, budget);
            reader.leave();
        } else if ((budget & 2) != 0) {
            const std::string bytes = reader.capture();
            const BerElement again = readBerElement(bytes);
            FUZZ_CHECK(again.bytes.size() == bytes.size(), "a captured element reads back shorter");
        } else {
            reader.skip();
        }
    }
}

CmsPtr openSslDecode(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(bytes.size())));
    ClearOpenSslErrors();
    return cms;
}

// What OpenSSL decoded: the type, and the content octets when present.
struct Decoded {
    int type = NID_undef;
    bool hasContent = false;
    std::string content;
};

std::optional<Decoded> decodedByOpenSsl(std::string_view bytes) {
    const CmsPtr cms = openSslDecode(bytes);
    if (!cms)
        return std::nullopt;
    Decoded decoded;
    decoded.type = OBJ_obj2nid(CMS_get0_type(cms.get()));
    if (decoded.type != NID_pkcs7_signed && decoded.type != NID_pkcs7_enveloped)
        return decoded;
    ASN1_OCTET_STRING** slot = CMS_get0_content(cms.get());
    ClearOpenSslErrors();
    if (slot == nullptr)
        return std::nullopt; // the content of the ContentInfo is missing altogether
    decoded.hasContent = *slot != nullptr;
    if (decoded.hasContent)
        decoded.content.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*slot)),
                               static_cast<std::size_t>(ASN1_STRING_length(*slot)));
    return decoded;
}

// Refusals the streaming layers may make where OpenSSL reads on: BER that X.690 forbids but
// OpenSSL's decoder lets pass.
bool stricterThanOpenSsl(const CryptoError& error) {
    const std::string text = error.what();
    return text.find("segment that is no octet string") != std::string::npos ||
           text.find("leading zero group") != std::string::npos;
}

template <typename Input>
void readMessage(std::string_view bytes, std::size_t piece, int nid, const std::optional<Decoded>& openssl) {
    const bool openSslReads = openssl && openssl->type == nid;
    try {
        PieceSource source(bytes, piece);
        BerReader reader(source);
        Input input(reader);
        std::string content;
        if (input.hasContent()) {
            std::uint8_t block[1000];
            ByteSource& octets = input.content();
            while (const std::size_t n = octets.read(block))
                content.append(reinterpret_cast<const char*>(block), n);
        }
        input.finish();
        if (openSslReads) {
            FUZZ_CHECK(input.hasContent() == openssl->hasContent, "content present for one reader only");
            FUZZ_CHECK(content == openssl->content, "the content octets differ from OpenSSL's");
        }
        std::string withoutContent;
        if constexpr (std::is_same_v<Input, SignedDataInput>)
            withoutContent = input.withoutContent();
        else
            withoutContent = input.withoutContent(input.unprotectedAttributes());
        FUZZ_CHECK(!openSslReads || openSslDecode(withoutContent) != nullptr,
                   "OpenSSL reads the message but not its structure without content: " +
                       fuzz::hexOf(withoutContent));
        fuzz::note("read as " + std::string(OBJ_nid2sn(nid)) + ", content " + std::to_string(content.size()));
    } catch (const CryptoError& error) {
        checkRefusal(error, true, OBJ_nid2sn(nid));
        FUZZ_CHECK(!openSslReads || stricterThanOpenSsl(error),
                   std::string("OpenSSL reads what the streaming layers refuse: ") + error.what());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t piece = size > 0 ? 1 + data[size - 1] % 64 : 1;

    try {
        PieceSource source(bytes, piece);
        BerReader reader(source);
        int budget = 4096;
        walk(reader, size, budget);
    } catch (const CryptoError& error) {
        checkRefusal(error, false, "walk");
    }
    try {
        for (const BerElement& child : readBerChildren(bytes))
            FUZZ_CHECK(child.bytes.data() >= bytes.data() &&
                           child.bytes.data() + child.bytes.size() <= bytes.end(),
                       "a child outside its parent");
    } catch (const CryptoError& error) {
        checkRefusal(error, false, "children");
    }

    const std::optional<Decoded> openssl = decodedByOpenSsl(bytes);
    readMessage<SignedDataInput>(bytes, piece, NID_pkcs7_signed, openssl);
    readMessage<EnvelopedDataInput>(bytes, piece, NID_pkcs7_enveloped, openssl);
    return 0;
}

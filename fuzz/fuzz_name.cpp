// CertNameToStrA on arbitrary name blobs with every string type and option. Contract: the length
// call's count (zero included) is what the text call writes; the text is UTF-8 without a zero
// inside; a smaller buffer gets the longest prefix that does not cut a UTF-8 character, terminated;
// a name that does not decode gives the empty text with CRYPT_E_ASN1_BADTAG, an unknown string type
// or an encoding without X509_ASN_ENCODING E_INVALIDARG. The names of the certificate dialogs
// (NameToText) must render whatever decodes.
//
// Input: string type and options (4 bytes, little-endian; the low two bits of the first byte pick
// CERT_SIMPLE_NAME_STR, CERT_OID_NAME_STR, CERT_X500_NAME_STR or the raw type), the size of the
// short buffer (1 byte), then the DER name.

#include "FuzzSupport.h"

#include "crypto/CertificateText.h"
#include "crypto/CryptoApi.h"
#include "crypto/OpenSsl.h"
#include "platform/SystemErrors.h"

#include <cstdint>
#include <string>
#include <vector>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::winerr;

namespace {

constexpr DWORD kAllOptions = CERT_NAME_STR_SEMICOLON_FLAG | CERT_NAME_STR_NO_PLUS_FLAG |
                              CERT_NAME_STR_NO_QUOTING_FLAG | CERT_NAME_STR_CRLF_FLAG |
                              CERT_NAME_STR_COMMA_FLAG | CERT_NAME_STR_REVERSE_FLAG |
                              CERT_NAME_STR_FORWARD_FLAG;

DWORD stringTypeOf(std::uint32_t raw) {
    switch (raw & 3) {
    case 0:
        return CERT_SIMPLE_NAME_STR | (raw & kAllOptions);
    case 1:
        return CERT_OID_NAME_STR | (raw & kAllOptions);
    case 2:
        return CERT_X500_NAME_STR | (raw & kAllOptions);
    default:
        return raw;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    const std::uint32_t raw = input.u32();
    const DWORD type = stringTypeOf(raw);
    const std::uint8_t shortRoom = input.byte();
    std::string der = input.rest();
    // The blob gets a buffer of exactly its size: a read past the name is an overflow.
    std::vector<BYTE> bytes(der.begin(), der.end());
    CERT_NAME_BLOB name{static_cast<DWORD>(bytes.size()), bytes.empty() ? nullptr : bytes.data()};
    const DWORD encoding =
        (raw & 0x80000000u) != 0 && (raw & 3) == 3 ? PKCS_7_ASN_ENCODING : kMessageEncoding;

    const DWORD needed = CertNameToStrA(encoding, &name, type, nullptr, 0);
    const DWORD lengthCode = GetLastError();
    FUZZ_CHECK(needed >= 1, "the length call counts no zero");
    std::vector<char> full(needed, '\x55');
    FUZZ_CHECK(CertNameToStrA(encoding, &name, type, full.data(), needed) == needed,
               "the text call writes another length than the length call counted");
    FUZZ_CHECK(GetLastError() == lengthCode, "the two calls end with different last errors");
    FUZZ_CHECK(full[needed - 1] == '\0', "the text is not terminated");
    const std::string text(full.data(), needed - 1);
    FUZZ_CHECK(text.find('\0') == std::string::npos, "a zero inside the text: " + fuzz::hexOf(text));
    FUZZ_CHECK(fuzz::isValidUtf8(text), "the text is not UTF-8: " + fuzz::hexOf(text));
    fuzz::note(text.empty() ? "empty, " + fuzz::codeText(lengthCode) : text);

    const DWORD stringType = type & 0xFFFF;
    const bool knownType = stringType >= CERT_SIMPLE_NAME_STR && stringType <= CERT_X500_NAME_STR;
    const unsigned char* p = bytes.data();
    X509NamePtr parsed(bytes.empty() ? nullptr : d2i_X509_NAME(nullptr, &p, static_cast<long>(bytes.size())));
    ClearOpenSslErrors();
    if (encoding != kMessageEncoding || !knownType) {
        FUZZ_CHECK(needed == 1 && lengthCode == E_INVALIDARG, "refused arguments without E_INVALIDARG");
    } else if (!parsed) {
        FUZZ_CHECK(needed == 1 && lengthCode == CRYPT_E_ASN1_BADTAG,
                   "an undecodable name without CRYPT_E_ASN1_BADTAG");
    } else {
        FUZZ_CHECK(lengthCode == 0, "a rendered name with a last error");
    }

    // A buffer smaller than the text: the longest prefix that ends on a character boundary.
    const DWORD room = 1 + shortRoom % needed;
    std::vector<char> cut(room, '\x55');
    const DWORD written = CertNameToStrA(encoding, &name, type, cut.data(), room);
    FUZZ_CHECK(written >= 1 && written <= room, "a short buffer got " + std::to_string(written) + " bytes");
    FUZZ_CHECK(cut[written - 1] == '\0', "a cut text is not terminated");
    const std::string prefix(cut.data(), written - 1);
    FUZZ_CHECK(text.compare(0, prefix.size(), prefix) == 0, "a cut text is not a prefix of the text");
    FUZZ_CHECK(fuzz::isValidUtf8(prefix), "a cut text ends inside a character");
    // A UTF-8 character has at most four bytes, so at most three are left out.
    FUZZ_CHECK(prefix.size() + 3 >= std::min<std::size_t>(text.size(), room - 1),
               "a cut text is shorter than it needs to be");

    if (parsed) {
        // The dialogs' own rendering of names, most specific part first.
        NameToText(parsed.get());
        NameAttribute(parsed.get(), NID_commonName);
    }
    return 0;
}

// The renderings of a distinguished name on arbitrary DER: formatName with every key style and
// option, and the certificate dialogs' NameToText and NameAttribute. Contract: whatever decodes as
// a name renders as UTF-8 without a zero inside; reversing changes only the order of the RDNs, so
// the text keeps its length; the values-only text is never longer than the keyed one.
//
// Input: options (4 bytes, little-endian): the low two bits pick the keys (values only, dotted
// identifiers, X.500 short names; 3 also dotted identifiers); in the top byte 0x40 separates RDNs
// by "; ", 0x08 by CR LF, 0x20 joins the attributes of an RDN by a blank, 0x10 turns quoting off,
// 0x02 reverses the order. Then one byte that picks the attribute NameAttribute looks up, then
// the DER name.

#include "FuzzSupport.h"

#include "crypto/CertificateText.h"
#include "crypto/NameFormat.h"
#include "crypto/OpenSsl.h"

#include <cstdint>
#include <string>

using namespace plombar;
using namespace plombar::crypto;

namespace {

NameFormat formatOf(std::uint32_t options) {
    NameFormat format;
    switch (options & 3) {
    case 0:
        format.keys = NameKeys::ValuesOnly;
        break;
    case 2:
        format.keys = NameKeys::X500;
        break;
    default:
        format.keys = NameKeys::DottedOids;
        break;
    }
    const std::uint32_t top = options >> 24;
    if ((top & 0x40) != 0)
        format.rdnSeparator = "; ";
    else if ((top & 0x08) != 0)
        format.rdnSeparator = "\r\n";
    if ((top & 0x20) != 0)
        format.attributeSeparator = " ";
    format.quoting = (top & 0x10) == 0;
    format.reverse = (top & 0x02) != 0;
    return format;
}

std::string checkedText(const X509_NAME* name, const NameFormat& format) {
    const std::string text = formatName(name, format);
    FUZZ_CHECK(text.find('\0') == std::string::npos, "a zero inside the text: " + fuzz::hexOf(text));
    FUZZ_CHECK(fuzz::isValidUtf8(text), "the text is not UTF-8: " + fuzz::hexOf(text));
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    const NameFormat format = formatOf(input.u32());
    const std::uint8_t attribute = input.byte();
    // The name gets a buffer of exactly its size: a read past it is an overflow.
    const std::string der = input.rest();
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    X509NamePtr name(der.empty() ? nullptr : d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size())));
    ClearOpenSslErrors();
    if (!name) {
        fuzz::note("not a name");
        return 0;
    }

    const std::string text = checkedText(name.get(), format);
    fuzz::note(text);
    NameFormat reversed = format;
    reversed.reverse = !format.reverse;
    FUZZ_CHECK(checkedText(name.get(), reversed).size() == text.size(),
               "reversing the RDNs changed more than their order");
    NameFormat valuesOnly = format;
    valuesOnly.keys = NameKeys::ValuesOnly;
    FUZZ_CHECK(checkedText(name.get(), valuesOnly).size() <= text.size(),
               "the values alone are longer than with their keys");

    // The dialogs' own rendering of names, most specific part first.
    const std::string line = NameToText(name.get());
    FUZZ_CHECK(fuzz::isValidUtf8(line), "NameToText is not UTF-8: " + fuzz::hexOf(line));
    static constexpr int kAttributes[] = {NID_commonName, NID_organizationName, NID_surname,
                                          NID_serialNumber};
    NameAttribute(name.get(), kAttributes[attribute % 4]);
    return 0;
}

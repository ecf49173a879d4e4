#include "NameFormat.h"

#include "platform/HexText.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plombar::crypto {

namespace {

struct X500Key {
    const char* oid;
    const char* key;
};

// The usual keys of X.500 names; other identifiers get "OID.".
constexpr X500Key kX500Keys[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.7", "L"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"1.2.840.113549.1.9.1", "E"},
    {"2.5.4.6", "C"},
    {"2.5.4.8", "S"},
    {"2.5.4.9", "STREET"},
    {"2.5.4.12", "T"},
    {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},
    {"2.5.4.4", "SN"},
    {"2.5.4.5", "SERIALNUMBER"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"2.5.4.13", "Description"},
    {"2.5.4.17", "PostalCode"},
    {"2.5.4.18", "POBox"},
    {"2.5.4.20", "Phone"},
    {"2.5.4.24", "X21Address"},
    {"2.5.4.46", "dnQualifier"},
};

std::string hexUpper(const unsigned char* data, std::size_t size) {
    return hexText(data, size, HexCase::Upper);
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string latin1ToUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            text += ch;
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

// "#" and the value's DER encoding in hexadecimal, for values that are not text.
std::string hexValue(const ASN1_STRING* value) {
    const unsigned char* data = ASN1_STRING_get0_data(value);
    const auto length = static_cast<std::size_t>(ASN1_STRING_length(value));
    const int type = ASN1_STRING_type(value);
    if (type == V_ASN1_OCTET_STRING)
        return "#" + hexUpper(data, length);
    std::string der;
    if (ASN1_TYPE* any = ASN1_TYPE_new()) {
        if (ASN1_TYPE_set1(any, type, value) == 1)
            der = EncodeDer(any, [](const ASN1_TYPE* a, unsigned char** p) { return i2d_ASN1_TYPE(a, p); });
        ASN1_TYPE_free(any);
    }
    ClearOpenSslErrors();
    if (der.empty())
        return "#" + hexUpper(data, length);
    return "#" + hexUpper(reinterpret_cast<const unsigned char*>(der.data()), der.size());
}

struct ValueText {
    std::string text;
    bool hex = false; // "#..." form: never quoted
};

// The value as UTF-8 text, or in "#hex" form when it is no text (or holds a zero byte, which would
// cut the name short for every reader of the result).
ValueText valueText(const ASN1_STRING* value) {
    const int type = ASN1_STRING_type(value);
    std::string text;
    bool isText = false;
    switch (type) {
    case V_ASN1_T61STRING: {
        const std::string_view raw(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                   static_cast<std::size_t>(ASN1_STRING_length(value)));
        text = isValidUtf8(raw) ? std::string(raw) : latin1ToUtf8(raw);
        isText = true;
        break;
    }
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_GENERALSTRING:
    case V_ASN1_GRAPHICSTRING:
    case V_ASN1_VIDEOTEXSTRING: {
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, value);
        if (length >= 0) {
            OpenSslBytesPtr holder(utf8);
            text.assign(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
            isText = isValidUtf8(text);
        }
        ClearOpenSslErrors();
        break;
    }
    default:
        break;
    }
    if (!isText || text.find('\0') != std::string::npos)
        return {hexValue(value), true};
    return {std::move(text), false};
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string quotedIfNeeded(const std::string& value) {
    const bool quote = value.empty() || isBlank(value.front()) || isBlank(value.back()) ||
                       value.find_first_of(",+=\"<>#;\n") != std::string::npos;
    if (!quote)
        return value;
    std::string text = "\"";
    for (char c : value) {
        if (c == '"')
            text += '"';
        text += c;
    }
    return text + "\"";
}

std::string attributeKey(const ASN1_OBJECT* object, NameKeys keys) {
    const std::string oid = DottedOid(object);
    if (keys == NameKeys::X500) {
        for (const auto& entry : kX500Keys)
            if (oid == entry.oid)
                return entry.key;
        return "OID." + oid;
    }
    return oid;
}

} // namespace

std::string formatName(const X509_NAME* name, const NameFormat& format) {
    if (name == nullptr)
        return {};
    std::vector<std::vector<const X509_NAME_ENTRY*>> rdns;
    int currentSet = -1;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        if (rdns.empty() || X509_NAME_ENTRY_set(entry) != currentSet)
            rdns.emplace_back();
        currentSet = X509_NAME_ENTRY_set(entry);
        rdns.back().push_back(entry);
    }
    if (format.reverse)
        std::reverse(rdns.begin(), rdns.end());

    std::string text;
    for (std::size_t r = 0; r < rdns.size(); ++r) {
        if (r > 0)
            text += format.rdnSeparator;
        for (std::size_t a = 0; a < rdns[r].size(); ++a) {
            if (a > 0)
                text += format.attributeSeparator;
            const X509_NAME_ENTRY* entry = rdns[r][a];
            if (format.keys != NameKeys::ValuesOnly) {
                text += attributeKey(X509_NAME_ENTRY_get_object(entry), format.keys);
                text += '=';
            }
            const ValueText value = valueText(X509_NAME_ENTRY_get_data(entry));
            text += format.quoting && !value.hex ? quotedIfNeeded(value.text) : value.text;
        }
    }
    return text;
}

} // namespace plombar::crypto

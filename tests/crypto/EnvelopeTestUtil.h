#pragma once

// A walker that finds fields in a DER message, so that the encryption tests can compare or damage
// exactly one of them.

#include "TestPki.h"

#include "crypto/OpenSsl.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace plombar::test {

// One TLV of a DER message: where it starts, where its content starts and ends.
struct DerField {
    std::size_t start = 0;
    std::size_t contentStart = 0;
    std::size_t end = 0;
    int tag = 0;
    int cls = 0;
    bool constructed = false;
};

// The TLVs one after the other between `from` and `to`.
inline std::vector<DerField> derChildren(const std::string& der, std::size_t from, std::size_t to) {
    std::vector<DerField> children;
    std::size_t pos = from;
    while (pos < to) {
        const auto* base = reinterpret_cast<const unsigned char*>(der.data());
        const unsigned char* p = base + pos;
        long length = 0;
        int tag = 0;
        int cls = 0;
        const int flags = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(to - pos));
        if ((flags & 0x80) != 0 || (flags & 0x01) != 0)
            break;
        DerField field;
        field.start = pos;
        field.contentStart = static_cast<std::size_t>(p - base);
        field.end = field.contentStart + static_cast<std::size_t>(length);
        field.tag = tag;
        field.cls = cls;
        field.constructed = (flags & V_ASN1_CONSTRUCTED) != 0;
        children.push_back(field);
        pos = field.end;
    }
    crypto::ClearOpenSslErrors();
    return children;
}

// Follows a path of child indexes from the top of a DER message ({0} is the ContentInfo itself).
inline std::optional<DerField> derAt(const std::string& der, const std::vector<std::size_t>& path) {
    std::size_t from = 0;
    std::size_t to = der.size();
    std::optional<DerField> field;
    for (std::size_t index : path) {
        const std::vector<DerField> children = derChildren(der, from, to);
        if (index >= children.size())
            return std::nullopt;
        field = children[index];
        from = field->contentStart;
        to = field->end;
    }
    return field;
}

} // namespace plombar::test

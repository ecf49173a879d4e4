#include "CertificateText.h"

#include "GostRuntime.h"
#include "platform/DisplayText.h"
#include "platform/Errors.h"

#include <openssl/objects.h>

#include <cstdio>
#include <ctime>
#include <vector>

namespace plombar::crypto {

namespace {

struct AttributeName {
    const char* oid;
    const char* text;    // how names show it
    const char* openssl; // short name for X509_NAME_add_entry_by_txt, or the OID
    bool numeric;        // encoded as NumericString
};

// Short names as the Windows certificate dialogs and the Russian CAs use them.
constexpr AttributeName kAttributeNames[] = {
    {"2.5.4.3", "CN", "CN", false},
    {"2.5.4.4", "SN", "SN", false},
    {"2.5.4.42", "G", "GN", false},
    {"2.5.4.12", "T", "title", false},
    {"2.5.4.10", "O", "O", false},
    {"2.5.4.11", "OU", "OU", false},
    {"2.5.4.7", "L", "L", false},
    {"2.5.4.8", "S", "ST", false},
    {"2.5.4.9", "STREET", "street", false},
    {"2.5.4.6", "C", "C", false},
    {"2.5.4.5", "SERIALNUMBER", "serialNumber", false},
    {"1.2.840.113549.1.9.1", "E", "emailAddress", false},
    {"1.2.643.3.131.1.1", "ИНН", "1.2.643.3.131.1.1", true},
    {"1.2.643.100.4", "ИННЮЛ", "1.2.643.100.4", true},
    {"1.2.643.100.1", "ОГРН", "1.2.643.100.1", true},
    {"1.2.643.100.5", "ОГРНИП", "1.2.643.100.5", true},
    {"1.2.643.100.3", "СНИЛС", "1.2.643.100.3", true},
};

const AttributeName* attributeByOid(const std::string& oid) {
    for (const auto& a : kAttributeNames)
        if (oid == a.oid)
            return &a;
    return nullptr;
}

const AttributeName* attributeByText(std::string_view text) {
    for (const auto& a : kAttributeNames) {
        const std::string_view name(a.text);
        if (name.size() != text.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) {
            char x = name[i];
            char y = text[i];
            if (x >= 'a' && x <= 'z')
                x = static_cast<char>(x - 'a' + 'A');
            if (y >= 'a' && y <= 'z')
                y = static_cast<char>(y - 'a' + 'A');
            same = x == y;
        }
        if (same)
            return &a;
    }
    // OpenSSL's own short names are accepted too ("ST", "emailAddress", "GN").
    for (const auto& a : kAttributeNames)
        if (text == a.openssl)
            return &a;
    return nullptr;
}

std::string valueText(const ASN1_STRING* value) {
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) {
        ClearOpenSslErrors();
        return {};
    }
    OpenSslBytesPtr holder(utf8);
    return std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
}

bool needsQuotes(const std::string& value) {
    if (value.empty())
        return false;
    if (value.front() == ' ' || value.back() == ' ')
        return true;
    return value.find_first_of(",+=\"<>#;\r\n") != std::string::npos;
}

std::string quoted(const std::string& value) {
    if (!needsQuotes(value))
        return value;
    std::string text = "\"";
    for (char c : value) {
        if (c == '"')
            text += '"';
        text += c;
    }
    return text + "\"";
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

bool isDottedOid(std::string_view text) {
    if (text.empty() || text.front() == '.' || text.back() == '.')
        return false;
    for (char c : text)
        if (!(c == '.' || (c >= '0' && c <= '9')))
            return false;
    return text.find("..") == std::string_view::npos;
}

struct ParsedAttribute {
    std::string type;
    std::string value;
};

// Splits "a=b + c=d, e=f" into RDNs of attributes, honouring quotes and backslash escapes.
std::vector<std::vector<ParsedAttribute>> splitName(std::string_view text) {
    std::vector<std::vector<ParsedAttribute>> rdns(1);
    std::string type;
    std::string value;
    bool inValue = false;
    bool inQuotes = false;
    bool wasQuoted = false;
    auto finishAttribute = [&](bool newRdn) {
        std::string t = trim(type);
        std::string v = wasQuoted ? value : trim(value);
        if (t.empty() || !inValue)
            throw Error("Не разобрать имя «" + std::string(text) + "»: ожидается ТИП=значение");
        rdns.back().push_back({std::move(t), std::move(v)});
        if (newRdn)
            rdns.emplace_back();
        type.clear();
        value.clear();
        inValue = inQuotes = wasQuoted = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!inValue) {
            if (c == '=')
                inValue = true;
            else
                type += c;
            continue;
        }
        if (inQuotes) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    value += '"';
                    ++i;
                } else {
                    inQuotes = false;
                }
            } else {
                value += c;
            }
            continue;
        }
        if (c == '"' && trim(value).empty()) {
            value.clear();
            inQuotes = wasQuoted = true;
        } else if (c == '\\' && i + 1 < text.size()) {
            value += text[++i];
        } else if (c == ',' || c == ';') {
            finishAttribute(true);
        } else if (c == '+') {
            finishAttribute(false);
        } else if (!wasQuoted) {
            value += c;
        } else if (c != ' ' && c != '\t') {
            throw Error("Не разобрать имя «" + std::string(text) + "»: текст после кавычек");
        }
    }
    if (inQuotes)
        throw Error("Не разобрать имя «" + std::string(text) + "»: нет закрывающей кавычки");
    finishAttribute(false);
    return rdns;
}

std::string bitsSuffix(int bits) {
    return bits > 0 ? " " + std::to_string(bits) + " бит" : std::string();
}

} // namespace

std::string NameAttribute(const X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return {};
    return escapeForDisplay(valueText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index))));
}

std::string NameToText(const X509_NAME* name) {
    if (name == nullptr)
        return {};
    // Entries grouped by RDN; each group keeps its own order.
    std::vector<std::vector<const X509_NAME_ENTRY*>> rdns;
    int currentSet = -1;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        if (rdns.empty() || X509_NAME_ENTRY_set(entry) != currentSet)
            rdns.emplace_back();
        currentSet = X509_NAME_ENTRY_set(entry);
        rdns.back().push_back(entry);
    }
    std::string text;
    // Encoded order is most general first; people read the most specific part first.
    for (auto rdn = rdns.rbegin(); rdn != rdns.rend(); ++rdn) {
        for (std::size_t i = 0; i < rdn->size(); ++i) {
            if (!text.empty())
                text += i > 0 ? " + " : ", ";
            const X509_NAME_ENTRY* entry = (*rdn)[i];
            const std::string oid = DottedOid(X509_NAME_ENTRY_get_object(entry));
            const AttributeName* known = attributeByOid(oid);
            text += known != nullptr ? known->text : oid;
            text += '=';
            text += quoted(valueText(X509_NAME_ENTRY_get_data(entry)));
        }
    }
    return escapeForDisplay(text);
}

X509NamePtr ParseSubjectText(std::string_view text) {
    const std::string whole = trim(text);
    if (whole.empty())
        throw Error("Имя владельца сертификата не задано");
    std::vector<std::vector<ParsedAttribute>> rdns;
    if (whole.find('=') == std::string::npos)
        rdns.push_back({{"CN", whole}});
    else
        rdns = splitName(whole);

    X509NamePtr name(X509_NAME_new());
    if (!name)
        throw Error("Недостаточно памяти");
    // Typed most specific first, encoded most general first.
    for (auto rdn = rdns.rbegin(); rdn != rdns.rend(); ++rdn) {
        bool first = true;
        for (const ParsedAttribute& attribute : *rdn) {
            const AttributeName* known = attributeByText(attribute.type);
            if (known == nullptr && !isDottedOid(attribute.type))
                throw Error("Неизвестный тип атрибута имени «" + attribute.type + "»");
            Asn1ObjectPtr object(OBJ_txt2obj(known != nullptr ? known->oid : attribute.type.c_str(), 1));
            if (!object)
                throw Error("Неизвестный тип атрибута имени «" + attribute.type + "»");
            if (attribute.value.empty())
                throw Error("Пустое значение атрибута «" + attribute.type + "»");
            const bool numeric = known != nullptr && known->numeric &&
                                 attribute.value.find_first_not_of("0123456789") == std::string::npos;
            const int type = numeric ? V_ASN1_NUMERICSTRING : MBSTRING_UTF8;
            if (X509_NAME_add_entry_by_OBJ(name.get(), object.get(), type,
                                           reinterpret_cast<const unsigned char*>(attribute.value.data()),
                                           static_cast<int>(attribute.value.size()), -1, first ? 0 : -1) != 1)
                throw Error("Недопустимое значение атрибута «" + attribute.type +
                            "»: " + TakeOpenSslErrors());
            first = false;
        }
    }
    return name;
}

std::string PublicKeyAlgorithmName(const std::string& oid, int bits) {
    if (oid == "1.2.643.2.2.19")
        return "ГОСТ Р 34.10-2001 256 бит";
    if (oid == "1.2.643.7.1.1.1.1")
        return "ГОСТ Р 34.10-2012 256 бит";
    if (oid == "1.2.643.7.1.1.1.2")
        return "ГОСТ Р 34.10-2012 512 бит";
    if (oid == "1.2.840.113549.1.1.1")
        return "RSA" + bitsSuffix(bits);
    if (oid == "1.2.840.10045.2.1")
        return "ECDSA" + bitsSuffix(bits);
    if (oid == "1.3.101.112")
        return "Ed25519";
    return oid;
}

std::string SignatureAlgorithmName(const std::string& oid) {
    if (oid == "1.2.643.2.2.3")
        return "ГОСТ Р 34.11-94/34.10-2001";
    if (oid == "1.2.643.7.1.1.3.2")
        return "ГОСТ Р 34.11-2012/34.10-2012 256 бит";
    if (oid == "1.2.643.7.1.1.3.3")
        return "ГОСТ Р 34.11-2012/34.10-2012 512 бит";
    Asn1ObjectPtr object(OBJ_txt2obj(oid.c_str(), 1));
    const int nid = object ? OBJ_obj2nid(object.get()) : NID_undef;
    ClearOpenSslErrors();
    return nid != NID_undef ? OBJ_nid2ln(nid) : oid;
}

std::string LocalTimeText(const ASN1_TIME* time) {
    std::tm utc{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &utc) != 1)
        return {};
    const std::time_t seconds = ::timegm(&utc);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr)
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

} // namespace plombar::crypto

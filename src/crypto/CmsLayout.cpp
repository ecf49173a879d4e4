#include "CmsLayout.h"

#include "CryptoError.h"
#include "OpenSsl.h"
#include "platform/SystemErrors.h"

namespace plombar::crypto {

namespace {

constexpr std::uint32_t kInteger = 2;
constexpr std::uint32_t kOctetString = 4;
constexpr std::uint32_t kObjectIdentifier = 6;
constexpr std::uint32_t kSequence = 16;
constexpr std::uint32_t kSet = 17;

[[noreturn]] void malformed(const std::string& why) {
    throw CryptoError(CryptoFailure::BadMessage, winerr::CRYPT_E_ASN1_BADTAG,
                      "not a readable CMS message: " + why);
}

std::string encodedOid(int nid) {
    return EncodeDer(OBJ_nid2obj(nid),
                     [](const ASN1_OBJECT* o, unsigned char** p) { return i2d_ASN1_OBJECT(o, p); });
}

BerHeader expectNext(BerReader& reader, const char* what) {
    const std::optional<BerHeader> header = reader.next();
    if (!header)
        malformed(std::string("no ") + what);
    return *header;
}

void expectEnd(BerReader& reader, const char* what) {
    if (reader.next())
        malformed(std::string("more than ") + what);
    reader.leave();
}

// A SET OF that is kept as encoded: OpenSSL's decoder reads one whose constructed bit is clear, and
// so does this reader.
bool isSetOf(const BerHeader& header, std::uint8_t cls, std::uint32_t tag) {
    return header.tagClass == cls && header.tag == tag;
}

// A field that must be there, with the given universal tag; kept as encoded.
std::string captureUniversal(BerReader& reader, std::uint32_t tag, bool constructed, const char* what) {
    if (!expectNext(reader, what).isUniversal(tag, constructed))
        malformed(std::string("no ") + what);
    return reader.capture();
}

// Reads ContentInfo { contentType, [0] { <SEQUENCE> } } up to the inside of that SEQUENCE and
// returns the encoded content type.
std::string enterContentInfo(BerReader& reader, int nid, const char* typeName) {
    if (!expectNext(reader, "ContentInfo").isUniversal(kSequence, true))
        malformed("no ContentInfo");
    reader.enter();
    std::string type = captureUniversal(reader, kObjectIdentifier, false, "content type");
    if (type != encodedOid(nid)) {
        const auto* p = reinterpret_cast<const unsigned char*>(type.data());
        Asn1ObjectPtr object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(type.size())));
        ClearOpenSslErrors();
        if (!object)
            malformed("a content type that is no object identifier");
        throw CryptoError(CryptoFailure::UnexpectedMessageType, winerr::CRYPT_E_UNEXPECTED_MSG_TYPE,
                          "the message is " + DottedOid(object.get()) + ", not " + typeName);
    }
    if (!expectNext(reader, "content").is(kContextClass, 0, true))
        malformed("no content");
    reader.enter();
    if (!expectNext(reader, typeName).isUniversal(kSequence, true))
        malformed(std::string("no ") + typeName);
    reader.enter();
    return type;
}

void leaveContentInfo(BerReader& reader, const char* typeName) {
    expectEnd(reader, typeName);
    expectEnd(reader, "one content");
    expectEnd(reader, "a content type and a content");
}

std::string contentInfo(const std::string& type, const std::string& body) {
    return derElement(0x30, type + derElement(0xA0, derElement(0x30, body)));
}

} // namespace

// ---------------------------------------------------------------------------------------------

SignedDataInput::SignedDataInput(BerReader& reader) : reader_(reader) {
    contentType_ = enterContentInfo(reader_, NID_pkcs7_signed, "signed-data");
    version_ = captureUniversal(reader_, kInteger, false, "version");
    if (!isSetOf(expectNext(reader_, "digest algorithms"), kUniversalClass, kSet))
        malformed("no digest algorithms");
    digestAlgorithms_ = reader_.capture();
    if (!expectNext(reader_, "encapsulated content").isUniversal(kSequence, true))
        malformed("no encapsulated content");
    reader_.enter();
    encapsulatedType_ = captureUniversal(reader_, kObjectIdentifier, false, "encapsulated content type");
    if (const std::optional<BerHeader> content = reader_.next()) {
        if (!content->is(kContextClass, 0, true))
            malformed("an encapsulated content that is not [0]");
        reader_.enter();
        const BerHeader octets = expectNext(reader_, "content octets");
        if (octets.tagClass != kUniversalClass || octets.tag != kOctetString)
            malformed("an encapsulated content that is no octet string");
        hasContent_ = true;
    } else {
        reader_.leave();
    }
}

ByteSource& SignedDataInput::content() {
    if (!hasContent_ || finished_)
        throw CryptoError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR, "no content to read");
    return reader_.octets();
}

std::string SignedDataInput::digestSkeleton() const {
    return contentInfo(contentType_, version_ + digestAlgorithms_ + derElement(0x30, encapsulatedType_) +
                                         derElement(0x31, ""));
}

void SignedDataInput::finish() {
    if (finished_)
        return;
    if (hasContent_) {
        expectEnd(reader_, "one content octet string");
        expectEnd(reader_, "a content type and a content");
    }
    BerHeader field = expectNext(reader_, "signer infos");
    if (isSetOf(field, kContextClass, 0)) {
        certificates_ = reader_.capture();
        field = expectNext(reader_, "signer infos");
    }
    if (isSetOf(field, kContextClass, 1)) {
        crls_ = reader_.capture();
        field = expectNext(reader_, "signer infos");
    }
    if (!isSetOf(field, kUniversalClass, kSet))
        malformed("no signer infos");
    signerInfos_ = reader_.capture();
    leaveContentInfo(reader_, "signed-data");
    finished_ = true;
}

std::string SignedDataInput::withoutContent() const {
    return contentInfo(contentType_, version_ + digestAlgorithms_ + derElement(0x30, encapsulatedType_) +
                                         certificates_ + crls_ + signerInfos_);
}

// ---------------------------------------------------------------------------------------------

EnvelopedDataInput::EnvelopedDataInput(BerReader& reader) : reader_(reader) {
    contentType_ = enterContentInfo(reader_, NID_pkcs7_enveloped, "enveloped-data");
    version_ = captureUniversal(reader_, kInteger, false, "version");
    BerHeader field = expectNext(reader_, "recipient infos");
    if (field.is(kContextClass, 0, true)) {
        originatorInfo_ = reader_.capture();
        field = expectNext(reader_, "recipient infos");
    }
    if (!isSetOf(field, kUniversalClass, kSet))
        malformed("no recipient infos");
    recipientInfos_ = reader_.capture();
    if (!expectNext(reader_, "encrypted content info").isUniversal(kSequence, true))
        malformed("no encrypted content info");
    reader_.enter();
    encryptedType_ = captureUniversal(reader_, kObjectIdentifier, false, "encrypted content type");
    contentAlgorithm_ = captureUniversal(reader_, kSequence, true, "content encryption algorithm");
    if (const std::optional<BerHeader> content = reader_.next()) {
        if (!content->isContext(0))
            malformed("an encrypted content that is not [0]");
        hasContent_ = true;
    }
}

ByteSource& EnvelopedDataInput::content() {
    if (!hasContent_ || finished_)
        throw CryptoError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR, "no content to read");
    return reader_.octets();
}

std::string EnvelopedDataInput::withoutContent(std::string_view unprotectedAttributes) const {
    return contentInfo(contentType_, version_ + originatorInfo_ + recipientInfos_ +
                                         derElement(0x30, encryptedType_ + contentAlgorithm_) +
                                         std::string(unprotectedAttributes));
}

void EnvelopedDataInput::finish() {
    if (finished_)
        return;
    expectEnd(reader_, "an encrypted content");
    if (const std::optional<BerHeader> field = reader_.next()) {
        if (!isSetOf(*field, kContextClass, 1))
            malformed("a field after the encrypted content that is no unprotected attributes");
        unprotectedAttributes_ = reader_.capture();
    }
    leaveContentInfo(reader_, "enveloped-data");
    finished_ = true;
}

// ---------------------------------------------------------------------------------------------

StreamedLayout::StreamedLayout(std::string_view der, std::initializer_list<std::size_t> path) {
    const auto wrong = [](const char* why) {
        return CryptoError(CryptoFailure::Failed, winerr::CRYPT_E_MSG_ERROR,
                           std::string("OpenSSL's encoding has an unexpected layout: ") + why);
    };
    try {
        BerElement element = readBerElement(der);
        for (const std::size_t index : path) {
            if (element.header.indefinite)
                throw wrong("an indefinite length");
            const std::vector<BerElement> children = readBerChildren(element.bytes);
            if (index >= children.size())
                throw wrong("a missing element");
            Level level;
            level.identifier = std::string(element.header.identifier());
            for (std::size_t i = 0; i < children.size(); ++i) {
                if (i < index)
                    level.before += children[i].bytes;
                else if (i > index)
                    level.after += children[i].bytes;
            }
            levels_.push_back(std::move(level));
            element = children[index];
        }
        if (element.header.constructed || element.header.indefinite || element.header.length != 0)
            throw wrong("a content that is not empty");
        leafIdentifier_ = std::string(element.header.identifier());
    } catch (const CryptoError& error) {
        if (error.kind() == CryptoFailure::BadMessage)
            throw wrong("not DER");
        throw;
    }
    for (auto level = levels_.rbegin(); level != levels_.rend(); ++level)
        tail_ += level->after;
}

std::string StreamedLayout::head(std::uint64_t contentLength) const {
    // Lengths from the inside out, then the headers from the outside in.
    std::vector<std::uint64_t> lengths(levels_.size());
    std::uint64_t inner = leafIdentifier_.size() + derLengthSize(contentLength) + contentLength;
    for (std::size_t i = levels_.size(); i-- > 0;) {
        lengths[i] = levels_[i].before.size() + inner + levels_[i].after.size();
        inner = levels_[i].identifier.size() + derLengthSize(lengths[i]) + lengths[i];
    }
    std::string head;
    for (std::size_t i = 0; i < levels_.size(); ++i) {
        head += levels_[i].identifier.substr(0, levels_[i].identifier.size() - 1);
        appendDerHeader(head, static_cast<std::uint8_t>(levels_[i].identifier.back()), lengths[i]);
        head += levels_[i].before;
    }
    head += leafIdentifier_.substr(0, leafIdentifier_.size() - 1);
    appendDerHeader(head, static_cast<std::uint8_t>(leafIdentifier_.back()), contentLength);
    return head;
}

} // namespace plombar::crypto

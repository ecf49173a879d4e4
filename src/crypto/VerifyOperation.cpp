#include "VerifyOperation.h"

#include "ContentDigest.h"
#include "CryptoHandles.h"
#include "FileBytes.h"
#include "GostRuntime.h"
#include "VerifyApi.h"
#include "codec/Base64.h"
#include "platform/AvailableMemory.h"
#include "platform/ByteStreams.h"
#include "platform/DisplayText.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"
#include "platform/InputFile.h"
#include "platform/Paths.h"
#include "platform/SystemErrors.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace plombar::crypto {

namespace {

constexpr char kLineFeed = '\x0A';
constexpr char kCarriageReturn = '\x0D';
constexpr char kEndOfFile = '\x1A';

// Content elements carry 32-bit lengths; a larger file goes in as several elements, which the
// verification hashes one after the other.
constexpr std::uint64_t kMaxElement = std::uint64_t{1} << 31;

// The start of a signature file that the digest hint looks at: far more than the few hundred bytes
// before a signed message's digest algorithms, in DER or as Base64 text.
constexpr std::size_t kHintPrefix = 64 * 1024;

// One BER header: tag byte, header length, content length (nullopt: indefinite).
struct BerHeader {
    unsigned char tag = 0;
    std::size_t size = 0;
    std::optional<std::size_t> length;
};

std::optional<BerHeader> readHeader(const std::string& der, std::size_t at) {
    if (at + 2 > der.size())
        return std::nullopt;
    BerHeader header;
    header.tag = static_cast<unsigned char>(der[at]);
    const auto first = static_cast<unsigned char>(der[at + 1]);
    header.size = 2;
    if (first < 0x80) {
        header.length = first;
    } else if (first > 0x80) {
        const std::size_t count = first & 0x7F;
        if (count > 4 || at + 2 + count > der.size())
            return std::nullopt;
        std::size_t length = 0;
        for (std::size_t i = 0; i < count; ++i)
            length = (length << 8) | static_cast<unsigned char>(der[at + 2 + i]);
        header.length = length;
        header.size += count;
    }
    return header;
}

// The digest of a signed message's only digest algorithm, read from the start of its encoding
// (ContentInfo -> [0] -> SignedData -> version, digestAlgorithms), or null when there is not
// exactly one or the bytes are something else.
const EVP_MD* digestOfPrefix(const std::string& der) {
    static const std::string kSignedData("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 11);
    std::size_t at = 0;
    const auto enter = [&](unsigned char tag) {
        const auto header = readHeader(der, at);
        if (!header || header->tag != tag)
            return false;
        at += header->size;
        return true;
    };
    const auto skip = [&](unsigned char tag) {
        const auto header = readHeader(der, at);
        if (!header || header->tag != tag || !header->length)
            return false;
        at += header->size + *header->length;
        return true;
    };
    if (!enter(0x30) || der.compare(at, kSignedData.size(), kSignedData) != 0)
        return nullptr;
    at += kSignedData.size();
    if (!enter(0xA0) || !enter(0x30) || !skip(0x02))
        return nullptr;
    const auto set = readHeader(der, at);
    if (!set || set->tag != 0x31 || !enter(0x31))
        return nullptr;
    const std::size_t setStart = at;
    const auto algorithm = readHeader(der, at);
    if (!algorithm || algorithm->tag != 0x30 || !algorithm->length)
        return nullptr;
    const std::size_t afterAlgorithm = at + algorithm->size + *algorithm->length;
    at += algorithm->size;
    const auto oid = readHeader(der, at);
    if (!oid || oid->tag != 0x06 || !oid->length || at + oid->size + *oid->length > der.size())
        return nullptr;
    const bool onlyOne = set->length ? setStart + *set->length == afterAlgorithm
                                     : der.compare(afterAlgorithm, 2, std::string(2, '\0')) == 0;
    if (!onlyOne)
        return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(der.data() + at);
    Asn1ObjectPtr object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oid->size + *oid->length)));
    const EVP_MD* md = object ? EVP_get_digestbynid(OBJ_obj2nid(object.get())) : nullptr;
    ClearOpenSslErrors();
    return md;
}

// Which digest the signature file will ask for, so that the data can be hashed while it loads. Only
// a hint: it raises nothing (the real loads report every error, in their order), and the
// verification takes the early digest over only when the message asks for exactly that one.
const EVP_MD* digestHint(const std::string& signaturePath, bool base64) noexcept {
    try {
        InputFile file(signaturePath);
        if (!file.isOpen())
            return nullptr;
        std::string prefix(kHintPrefix, '\0');
        std::size_t done = 0;
        while (done < prefix.size()) {
            const std::int64_t n = file.read(prefix.data() + done, prefix.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        prefix.resize(done);
        if (!base64)
            return digestOfPrefix(prefix);
        return digestOfPrefix(decodeBase64(prefix));
    } catch (...) {
        return nullptr;
    }
}

} // namespace

namespace {

// Hands the first line of a file (as ReadFirstLine defines it) to `take` in pieces, without
// holding it: a signature file of gigabytes without a line break must not be read into memory
// just to look at its start. `take` returns false when it has seen enough.
template <typename Take> void scanFirstLine(const std::string& path, Take take) {
    if (path.empty())
        throw InputOutputError(winerr::ERROR_PATH_NOT_FOUND);
    // A folder is refused as opening one as a text file is, and a FIFO, socket or device as no
    // file at all, before anything is read.
    InputFile file(path);
    if (!file.isOpen()) {
        SetLastError(file.openError());
        throw InputOutputError(file.openError());
    }

    // A CR either stands before an LF, which ends the line anyway, or before anything else, and
    // is then left out: either way no CR ever joins the line.
    std::vector<char> block(64 * 1024);
    for (;;) {
        const std::int64_t n = file.read(block.data(), block.size());
        if (n < 0) {
            if (file.changed())
                throw FileChangedError(absolutePath(path));
            throw InputOutputError(SetLastErrorFromErrno(errno));
        }
        if (n == 0)
            return;
        const char* p = block.data();
        const char* const end = p + n;
        while (p < end) {
            const char* stop = p;
            while (stop < end && *stop != kLineFeed && *stop != kCarriageReturn && *stop != kEndOfFile)
                ++stop;
            if (stop > p && !take(p, stop))
                return;
            if (stop == end)
                break;
            if (*stop != kCarriageReturn)
                return;
            p = stop + 1;
        }
    }
}

} // namespace

std::string ReadFirstLine(const std::string& path) {
    std::string line;
    scanFirstLine(path, [&line](const char* begin, const char* end) {
        line.append(begin, end);
        return true;
    });
    return line;
}

bool FirstLineHasBase64Marker(const std::string& path) {
    bool found = false;
    char previous = '\0';
    scanFirstLine(path, [&](const char* begin, const char* end) {
        for (const char* p = begin; p < end; ++p) {
            if (*p == '\0')
                return false; // nothing after the first zero byte counts
            if (previous == 'M' && *p == 'I') {
                found = true;
                return false;
            }
            previous = *p;
        }
        return true;
    });
    return found;
}

bool HasBase64Marker(const std::string& line) {
    const std::size_t zero = line.find('\0');
    const std::string_view text(line.data(), zero == std::string::npos ? line.size() : zero);
    return text.find("MI") != std::string_view::npos;
}

std::string BytesToHex(const BYTE* bytes, DWORD count) {
    if (bytes == nullptr || count == 0)
        return {};
    static constexpr char kHex[] = "0123456789ABCDEF";
    // Built back to front: the last byte (the most significant one) comes first in the text.
    std::string text;
    text.reserve(static_cast<std::size_t>(count) * 2 + count / 2);
    for (DWORD i = count; i-- > 0;) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
        if (i % 2 == 0 && i > 0)
            text += ' ';
    }
    return text;
}

std::string NameBlobToString(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB blob = name;
    const DWORD needed = CertNameToStrA(kMessageEncoding, &blob, CERT_OID_NAME_STR, nullptr, 0);
    if (needed == 0)
        return {};
    std::string text(needed, '\0');
    const DWORD written = CertNameToStrA(kMessageEncoding, &blob, CERT_OID_NAME_STR, text.data(), needed);
    text.resize(written > 0 ? std::min<std::size_t>(written - 1, text.size()) : 0);
    // A line of the report: a name holding a line break must not add lines of its own.
    return escapeForDisplay(text);
}

bool VerifyDetachedSignature(const std::string& signaturePath, const std::string& dataPath,
                             VerifyView& view) {
    // Without the engine no GOST signature can be checked; saying "not verified" would be wrong.
    if (!GostRuntimeReady())
        throw Error(GostRuntimeErrorText());

    const bool base64 = FirstLineHasBase64Marker(signaturePath);

    // On raised errors these go in reverse order: data, then signature.
    auto signature = std::make_unique<std::string>();
    auto data = std::make_unique<std::string>();
    // The data is hashed on a second thread while it loads; the verification then only checks.
    const EvpMdCtxPtr loadDigest = LoadFileWithDigest(*data, dataPath, digestHint(signaturePath, base64));
    if (base64) {
        FileReader text(signaturePath);
        Base64Decoder decoded(text);
        *signature = readAll(decoded, SIZE_MAX, static_cast<std::size_t>(text.size() / 4 * 3));
    } else {
        *signature = readFileBytes(signaturePath);
    }

    // The decoder copies what the message holds (an attached content as large as the message),
    // beyond any buffer's check: without room for that copy the load has failed.
    if (!memoryAvailableFor(signature->size()))
        throw OutOfMemoryError();

    view.ClearReport();
    view.AddLine(kVerifyHeaderLine);

    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = kVerifyMessageParaSize32;
    para.dwMsgAndCertEncodingType = kMessageEncoding;
    para.hCryptProv = 0;
    para.pfnGetSignerCertificate = nullptr;
    para.pvGetArg = nullptr;

    static const BYTE kNothing = 0;
    std::vector<const BYTE*> contents;
    std::vector<DWORD> lengths;
    const std::uint64_t dataSize = data->size();
    const auto* dataBytes = reinterpret_cast<const BYTE*>(data->data());
    if (dataSize <= std::numeric_limits<DWORD>::max()) {
        contents.push_back(dataSize > 0 ? dataBytes : &kNothing);
        lengths.push_back(static_cast<DWORD>(dataSize));
    } else {
        for (std::uint64_t offset = 0; offset < dataSize; offset += kMaxElement) {
            contents.push_back(dataBytes + offset);
            lengths.push_back(static_cast<DWORD>(std::min(kMaxElement, dataSize - offset)));
        }
    }

    std::optional<ContentDigestScope> lentDigest;
    if (loadDigest && contents.size() == 1)
        lentDigest.emplace(contents[0], lengths[0], loadDigest.get());

    BOOL verified = FALSE;
    PCCERT_CONTEXT signerValue = nullptr;
    // A signature file of 4 GiB or more is no signature this platform could have made.
    if (signature->size() <= std::numeric_limits<DWORD>::max()) {
        verified = CryptVerifyDetachedMessageSignature(
            &para, 0, !signature->empty() ? reinterpret_cast<const BYTE*>(signature->data()) : &kNothing,
            static_cast<DWORD>(signature->size()), static_cast<DWORD>(contents.size()), contents.data(),
            lengths.data(), &signerValue);
        // Running out of memory says nothing about the signature: no verdict is given then.
        if (!verified && GetLastError() == winerr::E_OUTOFMEMORY)
            throw OutOfMemoryError();
    }
    CertContextHandle signer(signerValue);
    lentDigest.reset();

    if (verified && signer) {
        view.ViewCertificate(signer.get());
        view.AddLine(kSignatureValidLine);
        const CERT_INFO& info = *signer->pCertInfo;
        view.AddLine(std::string(kSerialNumberPrefix) +
                     BytesToHex(info.SerialNumber.pbData, info.SerialNumber.cbData));
        view.AddLine(CertVerifyTimeValidity(nullptr, &info) == 0 ? kCertificateInPeriodLine
                                                                 : kCertificateOutOfPeriodLine);
        view.AddLine(kSubjectHeaderLine);
        view.AddLine(NameBlobToString(info.Subject));
        view.AddLine(kIssuerHeaderLine);
        view.AddLine(NameBlobToString(info.Issuer));
        signer.reset();
        return true;
    }
    view.AddLine(kSignatureInvalidLine);
    return false;
}

} // namespace plombar::crypto

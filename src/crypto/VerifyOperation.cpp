#include "VerifyOperation.h"

#include "CryptoHandles.h"
#include "GostRuntime.h"
#include "VerifyApi.h"
#include "codec/Base64.h"
#include "platform/Exception.h"
#include "platform/Streams.h"
#include "platform/SysError.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <string_view>
#include <vector>

namespace plombar::crypto {

namespace {

constexpr char kLineFeed = '\x0A';
constexpr char kCarriageReturn = '\x0D';
constexpr char kEndOfFile = '\x1A';

// Content elements carry 32-bit lengths; a larger file goes in as several elements, which the
// verification hashes one after the other.
constexpr std::uint64_t kMaxElement = std::uint64_t{1} << 31;

} // namespace

std::string ReadFirstLine(const std::string& path) {
    if (path.empty())
        throw EInOutError(winerr::ERROR_PATH_NOT_FOUND);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        throw EInOutError(SetLastErrorFromErrno(errno, path.c_str()));
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0)
        throw EInOutError(SetLastErrorFromErrno(errno));
    // Reading a folder as a text file is refused as the original platform refuses opening one.
    if (S_ISDIR(st.st_mode))
        throw EInOutError(SetLastErrorFromErrno(EISDIR));

    // A CR either stands before an LF, which ends the line anyway, or before anything else, and
    // is then left out: either way no CR ever joins the line.
    std::string line;
    std::vector<char> block(64 * 1024);
    for (;;) {
        const ssize_t n = ::read(fd.get(), block.data(), block.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EInOutError(SetLastErrorFromErrno(errno));
        }
        if (n == 0)
            return line;
        const char* p = block.data();
        const char* const end = p + n;
        while (p < end) {
            const char* stop = p;
            while (stop < end && *stop != kLineFeed && *stop != kCarriageReturn && *stop != kEndOfFile)
                ++stop;
            line.append(p, stop);
            if (stop == end)
                break;
            if (*stop != kCarriageReturn)
                return line;
            p = stop + 1;
        }
    }
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
    return text;
}

bool VerifyDetachedSignature(const std::string& signaturePath, const std::string& dataPath, VerifyView& view) {
    // Without the engine no GOST signature can be checked; saying "not verified" would be wrong.
    if (!GostRuntimeReady())
        throw Exception(GostRuntimeErrorText());

    const std::string firstLine = ReadFirstLine(signaturePath);

    // On raised errors these go in reverse order: data, then signature.
    auto signature = std::make_unique<TMemoryStream>();
    auto data = std::make_unique<TMemoryStream>();
    data->LoadFromFile(dataPath);
    if (HasBase64Marker(firstLine)) {
        auto text = std::make_unique<TMemoryStream>();
        text->LoadFromFile(signaturePath);
        Base64DecodeStream(*text, *signature);
        text.reset();
    } else {
        signature->LoadFromFile(signaturePath);
    }

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
    const auto dataSize = static_cast<std::uint64_t>(data->Size());
    if (dataSize <= std::numeric_limits<DWORD>::max()) {
        contents.push_back(dataSize > 0 ? data->Memory() : &kNothing);
        lengths.push_back(static_cast<DWORD>(dataSize));
    } else {
        for (std::uint64_t offset = 0; offset < dataSize; offset += kMaxElement) {
            contents.push_back(data->Memory() + offset);
            lengths.push_back(static_cast<DWORD>(std::min(kMaxElement, dataSize - offset)));
        }
    }

    BOOL verified = FALSE;
    PCCERT_CONTEXT signerValue = nullptr;
    // A signature file of 4 GiB or more is no signature this platform could have made.
    if (static_cast<std::uint64_t>(signature->Size()) <= std::numeric_limits<DWORD>::max())
        verified = CryptVerifyDetachedMessageSignature(
            &para, 0, signature->Size() > 0 ? signature->Memory() : &kNothing, static_cast<DWORD>(signature->Size()),
            static_cast<DWORD>(contents.size()), contents.data(), lengths.data(), &signerValue);
    CertContextHandle signer(signerValue);

    if (verified && signer) {
        view.ViewCertificate(signer.get());
        view.AddLine(kSignatureValidLine);
        const CERT_INFO& info = *signer->pCertInfo;
        view.AddLine(std::string(kSerialNumberPrefix) + BytesToHex(info.SerialNumber.pbData, info.SerialNumber.cbData));
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

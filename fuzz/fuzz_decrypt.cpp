// decryptMessage on arbitrary bytes streamed in, with the candidates the decryption takes: the
// entries of the store "MY" that have a key, holding the keys of fuzz/keys (GOST 2001, 2012-256 and
// 2012-512 keys of our own, RSA, and the recipients of the published TK26 and TC26 examples).
// Contract: the content, no longer than the message, with the index of a candidate that has a key;
// or a CryptoError of a documented kind and code, raised before a byte is written when no key opens
// the message. Nothing else may be raised, and no password may be asked (the keys have none).

#include "FuzzSupport.h"

#include "crypto/CertificateStore.h"
#include "crypto/ContentEncryption.h"
#include "crypto/CryptoError.h"
#include "platform/ByteStreams.h"
#include "platform/SystemErrors.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::winerr;

namespace {

// The keys are stored without a password: a question here is a fault.
class NoPasswordExpected : public PasswordSource {
public:
    std::optional<SecureString> password(const PasswordRequest& request) override {
        FUZZ_CHECK(false, "a password was asked for " + request.keyFile);
        return std::nullopt;
    }
};

void prepareStore() {
    static const bool prepared = [] {
        fuzz::storeFolder();
        fuzz::installFuzzKeys();
        return true;
    }();
    (void)prepared;
}

// The GOST engine leaks 49 bytes (an OBJ_txt2obj result) each time it checks the MAC of Magma or
// Kuznyechik CTR-ACPKM-OMAC content (tests/lsan.supp; the suppression there needs the slow unwinder,
// which would make fuzzing 30 times slower). Inputs that name one of these two ciphers are therefore
// not leak-checked; everything else is.
bool namesOmacCipher(std::string_view bytes) {
    static const std::string kMagmaOmac("\x06\x09\x2A\x85\x03\x07\x01\x01\x05\x01\x02", 11);
    static const std::string kKuznyechikOmac("\x06\x09\x2A\x85\x03\x07\x01\x01\x05\x02\x02", 11);
    return bytes.find(kMagmaOmac) != std::string_view::npos ||
           bytes.find(kKuznyechikOmac) != std::string_view::npos;
}

// Hands the message out in pieces of varying size, as a file and a pipe do.
class ChoppySource final : public ByteSource {
public:
    explicit ChoppySource(std::string_view bytes) : bytes_(bytes) {}
    std::size_t read(std::span<std::uint8_t> buffer) override {
        const std::size_t n =
            std::min({buffer.size(), bytes_.size(), std::size_t{1} + (calls_++ * 7919) % 5000});
        std::copy_n(bytes_.data(), n, buffer.data());
        bytes_.remove_prefix(n);
        return n;
    }

private:
    std::string_view bytes_;
    std::size_t calls_ = 0;
};

// The documented failures of a message that does not decrypt, with their codes.
bool documented(const CryptoError& error) {
    switch (error.kind()) {
    case CryptoFailure::BadMessage:
        return error.code() == CRYPT_E_ASN1_BADTAG;
    case CryptoFailure::UnexpectedMessageType:
        return error.code() == CRYPT_E_UNEXPECTED_MSG_TYPE;
    case CryptoFailure::ContentMissing:
        return error.code() == CRYPT_E_MSG_ERROR;
    case CryptoFailure::NoRecipient:
    case CryptoFailure::UnsupportedRecipient:
        return error.code() == CRYPT_E_NO_DECRYPT_CERT;
    case CryptoFailure::WrongKey:
        return error.code() == NTE_BAD_DATA;
    case CryptoFailure::KeyMismatch:
    case CryptoFailure::BadKey:
        return error.code() == NTE_BAD_KEY;
    case CryptoFailure::Failed:
        return error.code() == CRYPT_E_MSG_ERROR || error.code() == NTE_NO_MEMORY;
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    prepareStore();
    const std::string_view message(reinterpret_cast<const char*>(data), size);
    const CertificateStore store = CertificateStore::open();
    const std::vector<StoreEntry> entries = store.entries();
    NoPasswordExpected passwords;
    std::vector<DecryptionCandidate> candidates;
    std::vector<std::size_t> withKey;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].hasKey)
            continue;
        withKey.push_back(i);
        candidates.push_back({entries[i].certificate.x509(), [&store, &passwords, &entry = entries[i]] {
                                  const PrivateKey key = store.unlockKey(entry, passwords);
                                  EVP_PKEY_up_ref(key.get());
                                  return EvpPkeyPtr(key.get());
                              }});
    }
    FUZZ_CHECK(!candidates.empty(), "the store holds no keys");

    ChoppySource source(message);
    MemorySink output;
    try {
        const fuzz::LeakCheckPause engineLeak(namesOmacCipher(message));
        const DecryptionResult result = decryptMessage(source, candidates, output);
        FUZZ_CHECK(result.candidate < candidates.size(), "the result names no candidate");
        FUZZ_CHECK(result.contentSize == output.bytes().size(), "the result's size is not what was written");
        FUZZ_CHECK(result.contentSize <= size, "the content is longer than the message");
        fuzz::note("decrypted " + std::to_string(result.contentSize) + " bytes with " +
                   entries[withKey[result.candidate]].certificate.thumbprint());
    } catch (const CryptoError& error) {
        FUZZ_CHECK(documented(error), std::string("an undocumented failure: ") + failureName(error.kind()) +
                                          " " + fuzz::codeText(error.code()) + " " + error.message());
        if (error.kind() != CryptoFailure::WrongKey && error.kind() != CryptoFailure::BadMessage)
            FUZZ_CHECK(output.bytes().empty(), "bytes were written before the message was refused");
        fuzz::note(std::string("refused: ") + failureName(error.kind()) + " " + error.message());
    }
    return 0;
}

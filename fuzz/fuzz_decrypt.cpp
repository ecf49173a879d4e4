// CryptDecryptMessage on arbitrary bytes, with the store "MY" holding the keys of fuzz/keys (GOST
// 2001, 2012-256 and 2012-512 keys of our own, RSA, and the recipients of the published TK26 and
// TC26 examples), called as the decryption page calls it: size call, then data call. Contract: TRUE
// with last error 0 and the certificate whose key served, or FALSE with a documented code and no
// certificate; the size call's length bounds the data call's; a buffer one byte short gives
// ERROR_MORE_DATA with the length needed; the store closes without pending contexts, and nothing
// stays open afterwards.

#include "FuzzSupport.h"

#include "crypto/CryptoHandles.h"
#include "crypto/EnvelopeApi.h"
#include "crypto/KeyAccess.h"
#include "platform/SystemErrors.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::winerr;
using plombar::fuzz::checkLastError;

namespace {

void prepareStore() {
    static const bool prepared = [] {
        fuzz::storeFolder();
        fuzz::installFuzzKeys();
        // The keys are stored without a password: a question here is a fault.
        SetPasswordPrompt([](const PasswordRequest& request, SecureString&) {
            FUZZ_CHECK(false, "a password was asked for " + request.keyFile);
            return PasswordAnswer::Cancelled;
        });
        return true;
    }();
    (void)prepared;
}

// The GOST engine leaks 49 bytes (an OBJ_txt2obj result) each time it checks the MAC of Magma or
// Kuznyechik CTR-ACPKM-OMAC content (tests/lsan.supp; the suppression there needs the slow unwinder,
// which would make fuzzing 30 times slower). Data calls on inputs that name one of these two ciphers
// are therefore not leak-checked; everything else is.
bool namesOmacCipher(const std::uint8_t* data, std::size_t size) {
    static const std::string kMagmaOmac("\x06\x09\x2A\x85\x03\x07\x01\x01\x05\x01\x02", 11);
    static const std::string kKuznyechikOmac("\x06\x09\x2A\x85\x03\x07\x01\x01\x05\x02\x02", 11);
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    return bytes.find(kMagmaOmac) != std::string_view::npos ||
           bytes.find(kKuznyechikOmac) != std::string_view::npos;
}

// Codes of a message that does not decrypt (CryptDecryptMessage's contract).
const std::initializer_list<DWORD> kFailureCodes = {CRYPT_E_ASN1_BADTAG, CRYPT_E_UNEXPECTED_MSG_TYPE,
                                                    CRYPT_E_MSG_ERROR,   CRYPT_E_NO_DECRYPT_CERT,
                                                    NTE_BAD_DATA,        NTE_BAD_KEY,
                                                    NTE_NO_MEMORY};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    prepareStore();
    static const BYTE kNothing = 0;
    const BYTE* message = size > 0 ? data : &kNothing;
    const auto length = static_cast<DWORD>(size);
    {
        StoreHandle store(CertOpenSystemStoreA(0, "MY"));
        FUZZ_CHECK(store, "the store does not open: " + LastCryptoDiagnostic());
        HCERTSTORE handle = store.get();
        CRYPT_DECRYPT_MESSAGE_PARA para{};
        para.cbSize = kDecryptMessageParaSize32;
        para.dwMsgAndCertEncodingType = kMessageEncoding;
        para.cCertStore = 1;
        para.rghCertStore = &handle;

        DWORD needed = 0;
        PCCERT_CONTEXT sizeCertificate = nullptr;
        const BOOL sized = CryptDecryptMessage(&para, message, length, nullptr, &needed, &sizeCertificate);
        CertContextHandle sizeHolder(sizeCertificate);
        if (!sized) {
            FUZZ_CHECK(!sizeHolder, "a failed size call names a certificate");
            checkLastError("the size call", kFailureCodes);
            fuzz::note("size call failed: " + fuzz::codeText(GetLastError()));
        } else {
            FUZZ_CHECK(GetLastError() == 0 && sizeHolder, "a size call without a certificate");
            FUZZ_CHECK(needed <= length, "the content is longer than the message: " + std::to_string(needed));
            sizeHolder.reset();

            if (needed > 0) {
                std::vector<BYTE> small(needed - 1 > 0 ? needed - 1 : 1);
                DWORD smallSize = needed - 1;
                FUZZ_CHECK(!CryptDecryptMessage(&para, message, length, small.data(), &smallSize, nullptr),
                           "a buffer one byte short was accepted");
                FUZZ_CHECK(GetLastError() == ERROR_MORE_DATA && smallSize == needed,
                           "a short buffer did not give ERROR_MORE_DATA with the length");
            }

            // A buffer of exactly the announced length, so that a longer write is an overflow.
            std::vector<BYTE> out(needed > 0 ? needed : 1);
            DWORD produced = needed;
            PCCERT_CONTEXT keyCertificate = nullptr;
            BOOL decrypted = FALSE;
            {
                const fuzz::LeakCheckPause engineLeak(namesOmacCipher(data, size));
                decrypted =
                    CryptDecryptMessage(&para, message, length, out.data(), &produced, &keyCertificate);
            }
            CertContextHandle keyHolder(keyCertificate);
            if (decrypted) {
                FUZZ_CHECK(GetLastError() == 0 && keyHolder, "TRUE without the certificate whose key served");
                FUZZ_CHECK(produced <= needed, "the data call wrote more than the size call announced");
                fuzz::note("decrypted " + std::to_string(produced) + " bytes with " +
                           CertificateThumbprint(keyHolder.get()));
            } else {
                FUZZ_CHECK(!keyHolder, "a failed data call names a certificate");
                checkLastError("the data call", kFailureCodes);
                fuzz::note("data call failed: " + fuzz::codeText(GetLastError()) + " " +
                           LastCryptoDiagnostic());
            }
        }
        FUZZ_CHECK(store.reset() == TRUE, "contexts of the store are still open at its close");
    }
    fuzz::checkNoHandlesLeft("after CryptDecryptMessage");
    return 0;
}

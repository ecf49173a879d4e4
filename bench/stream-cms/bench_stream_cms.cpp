// Runs one streaming operation of the crypto layer on files, so that a benchmark can measure its
// time and peak memory as a whole process (plombar-measure):
//   bench-stream-cms sign-detached|sign-attached IN OUT CERT KEY
//   bench-stream-cms verify SIGNATURE [DATA]
//   bench-stream-cms encrypt IN OUT CERT
//   bench-stream-cms decrypt IN OUT CERT KEY
// CERT and KEY are PEM files (the key unencrypted). Exit 0 on success, 1 on a refusal (a signature
// that does not verify), 2 on an error.

#include "crypto/ContentEncryption.h"
#include "crypto/ContentSigning.h"
#include "crypto/CryptoError.h"
#include "crypto/GostRuntime.h"
#include "crypto/SignatureVerification.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace plombar;
using namespace plombar::crypto;

namespace {

class FileSource final : public ByteSource {
public:
    explicit FileSource(const char* path) : fd_(::open(path, O_RDONLY | O_CLOEXEC)) {
        if (!fd_)
            throw std::runtime_error(std::string("cannot open ") + path + ": " + std::strerror(errno));
    }
    std::size_t read(std::span<std::uint8_t> buffer) override {
        for (;;) {
            const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
            if (n >= 0)
                return static_cast<std::size_t>(n);
            if (errno != EINTR)
                throw std::runtime_error(std::string("read: ") + std::strerror(errno));
        }
    }
    std::uint64_t size() const {
        struct stat st {};
        ::fstat(fd_.get(), &st);
        return static_cast<std::uint64_t>(st.st_size);
    }

private:
    UniqueFd fd_;
};

class FileSink final : public ByteSink {
public:
    explicit FileSink(const char* path) : fd_(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {
        if (!fd_)
            throw std::runtime_error(std::string("cannot create ") + path + ": " + std::strerror(errno));
    }
    using ByteSink::write;
    void write(std::span<const std::uint8_t> data) override {
        while (!data.empty()) {
            const ssize_t n = ::write(fd_.get(), data.data(), data.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw std::runtime_error(std::string("write: ") + std::strerror(errno));
            data = data.subspan(static_cast<std::size_t>(n));
        }
    }

private:
    UniqueFd fd_;
};

X509Ptr readCertificate(const char* path) {
    BioPtr bio(BIO_new_file(path, "r"));
    X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!certificate)
        throw std::runtime_error(std::string("no certificate in ") + path);
    return certificate;
}

EvpPkeyPtr readKey(const char* path) {
    BioPtr bio(BIO_new_file(path, "r"));
    EvpPkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        throw std::runtime_error(std::string("no key in ") + path);
    return key;
}

const char* hashFor(EVP_PKEY* key) {
    switch (EVP_PKEY_get_base_id(key)) {
    case NID_id_GostR3410_2001:
        return "1.2.643.2.2.9";
    case NID_id_GostR3410_2012_512:
        return "1.2.643.7.1.1.2.3";
    default:
        return "1.2.643.7.1.1.2.2";
    }
}

int run(int argc, char** argv) {
    const std::string operation = argc > 1 ? argv[1] : "";
    if ((operation == "sign-detached" || operation == "sign-attached") && argc == 6) {
        FileSource in(argv[2]);
        FileSink out(argv[3]);
        const X509Ptr certificate = readCertificate(argv[4]);
        const EvpPkeyPtr key = readKey(argv[5]);
        SignOptions options;
        options.layout = operation == "sign-detached" ? SignatureLayout::Detached : SignatureLayout::Attached;
        options.hashOid = hashFor(key.get());
        signContent(in, in.size(), {certificate.get(), key.get()}, options, out);
        return 0;
    }
    if (operation == "verify" && (argc == 3 || argc == 4)) {
        FileSource signature(argv[2]);
        std::optional<FileSource> data;
        VerifyOptions options;
        if (argc == 4)
            options.data = &data.emplace(argv[3]);
        const VerificationResult result = verifySignature(signature, options);
        for (const SignerVerdict& signer : result.signers)
            if (!signer.valid)
                std::fprintf(stderr, "not valid: %s\n", signer.reason.c_str());
        return result.allValid() ? 0 : 1;
    }
    if (operation == "encrypt" && argc == 5) {
        FileSource in(argv[2]);
        FileSink out(argv[3]);
        const X509Ptr certificate = readCertificate(argv[4]);
        encryptContent(in, in.size(), certificate.get(), out);
        return 0;
    }
    if (operation == "decrypt" && argc == 6) {
        FileSource in(argv[2]);
        FileSink out(argv[3]);
        const X509Ptr certificate = readCertificate(argv[4]);
        const EvpPkeyPtr key = readKey(argv[5]);
        const DecryptionCandidate candidates[] = {{certificate.get(), [&key] {
                                                       EVP_PKEY_up_ref(key.get());
                                                       return EvpPkeyPtr(key.get());
                                                   }}};
        decryptMessage(in, candidates, out);
        return 0;
    }
    std::fprintf(stderr,
                 "usage: %s sign-detached|sign-attached IN OUT CERT KEY | verify SIG [DATA] | "
                 "encrypt IN OUT CERT | decrypt IN OUT CERT KEY\n",
                 argv[0]);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    GostRuntime gost; // every key and certificate goes before it does
    if (!gost.Ready()) {
        std::fprintf(stderr, "%s\n", gost.ErrorText().c_str());
        return 2;
    }
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
}

// Contents beyond 4 GiB: no length anywhere may be 32 bits, and OpenSSL's int lengths must never
// see the whole content. Slow (label slow): each test hashes 5 GiB more than once.

#include "StreamTestUtil.h"

#include <cstdio>
#include <unistd.h>

using namespace plombar;
using namespace plombar::crypto;
using namespace plombar::test;

namespace {

constexpr std::uint64_t kFiveGiB = std::uint64_t{5} << 30;

// `size` zero bytes, as a sparse file of that size reads.
class ZeroSource final : public ByteSource {
public:
    explicit ZeroSource(std::uint64_t size) : left_(size) {}
    std::size_t read(std::span<std::uint8_t> buffer) override {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left_));
        std::fill_n(buffer.data(), n, 0);
        left_ -= n;
        return n;
    }

private:
    std::uint64_t left_;
};

void closeFile(std::FILE* file) noexcept {
    std::fclose(file);
}
using FilePtr = std::unique_ptr<std::FILE, OpenSslDeleter<closeFile>>;

class FileSource final : public ByteSource {
public:
    explicit FileSource(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {}
    std::size_t read(std::span<std::uint8_t> buffer) override {
        return std::fread(buffer.data(), 1, buffer.size(), file_.get());
    }

private:
    FilePtr file_;
};

class FileSink final : public ByteSink {
public:
    explicit FileSink(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {}
    using ByteSink::write;
    void write(std::span<const std::uint8_t> data) override {
        if (std::fwrite(data.data(), 1, data.size(), file_.get()) != data.size())
            throw std::runtime_error("cannot write the signature");
    }

private:
    FilePtr file_;
};

SignOptions optionsFor(SignatureLayout layout) {
    SignOptions options;
    options.layout = layout;
    options.hashOid = hashOidFor(KeyAlgorithm::Gost2012_256);
    return options;
}

} // namespace

// A 5 GiB sparse file signs detached; openssl and we verify the signature against it.
TEST(StreamLarge, FiveGibibytesSignDetachedAndVerify) {
    TempDir dir("plombar-large");
    const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_256);
    ZeroSource content(kFiveGiB);
    MemorySink signature;
    signContent(content, kFiveGiB, {signer.certificate.get(), signer.key.get()},
                optionsFor(SignatureLayout::Detached), signature);
    MemorySource message(signature.bytes());
    ZeroSource data(kFiveGiB);
    VerifyOptions options;
    options.data = &data;
    EXPECT_TRUE(verifySignature(message, options).allValid());
    writeFile(dir.file("data.p7s"), signature.bytes());
    writeFile(dir.file("data"), "");
    ASSERT_EQ(::truncate(dir.file("data").c_str(), static_cast<off_t>(kFiveGiB)), 0);
    std::string log;
    EXPECT_TRUE(opensslVerifies(dir.file("data.p7s"), dir.file("data"), nullptr, &log)) << log;
}

// A 5 GiB attached signature: written with lengths of five octets, read back in one pass.
TEST(StreamLarge, FiveGibibytesSignAttachedAndVerify) {
    TempDir dir("plombar-large");
    const TestIdentity signer = makeIdentity(KeyAlgorithm::Gost2012_256);
    {
        ZeroSource content(kFiveGiB);
        FileSink out(dir.file("attached.p7s"));
        signContent(content, kFiveGiB, {signer.certificate.get(), signer.key.get()},
                    optionsFor(SignatureLayout::Attached), out);
    }
    FileSource signature(dir.file("attached.p7s"));
    const VerificationResult result = verifySignature(signature);
    EXPECT_TRUE(result.allValid() && result.attached);
}

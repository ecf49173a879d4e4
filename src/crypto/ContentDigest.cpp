#include "ContentDigest.h"

#include "CryptoInternal.h"
#include "FileBytes.h"
#include "platform/Errors.h"
#include "platform/FileReader.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <deque>
#include <thread>

namespace plombar::crypto {

namespace {

constexpr std::size_t kReadChunk = std::size_t{8} << 20;
constexpr std::uint64_t kMaxDigestedSize = INT_MAX; // the signing call refuses more than this anyway

// Reads an open file and hands every block it has read to a hashing thread.
class DigestingReader : public ByteSource {
public:
    DigestingReader(FileReader& file, const EVP_MD* md) : file_(file) {
        digest_.reset(EVP_MD_CTX_new());
        if (!digest_ || EVP_DigestInit_ex(digest_.get(), md, nullptr) != 1) {
            ClearOpenSslErrors();
            failed_ = true;
            return;
        }
        worker_ = std::thread([this] { hashBlocks(); });
    }
    DigestingReader(const DigestingReader&) = delete;
    DigestingReader& operator=(const DigestingReader&) = delete;
    ~DigestingReader() override {
        cancelled_ = true; // a load that failed needs no digest
        stop();
    }

    std::size_t read(std::span<std::uint8_t> buffer) override {
        std::size_t done = 0;
        try {
            while (done < buffer.size()) {
                const std::size_t n =
                    file_.read(buffer.subspan(done, std::min(buffer.size() - done, kReadChunk)));
                if (n == 0)
                    break;
                publish(buffer.data() + done, n);
                done += n;
            }
        } catch (...) {
            // The buffer goes as the error leaves; the hashing thread must be done with it first.
            cancelled_ = true;
            stop();
            throw;
        }
        return done;
    }

    // Waits for the hash to catch up; the state when it covers exactly [data, data + size).
    EvpMdCtxPtr finish(const std::uint8_t* data, std::size_t size) {
        stop();
        if (failed_ || hashed_ != size || (size != 0 && first_ != data))
            return nullptr;
        return std::move(digest_);
    }

private:
    void publish(const std::uint8_t* data, std::size_t size) {
        std::lock_guard lock(mutex_);
        if (first_ == nullptr)
            first_ = data;
        blocks_.emplace_back(data, size);
        wake_.notify_one();
    }

    void hashBlocks() {
        for (;;) {
            std::pair<const std::uint8_t*, std::size_t> block;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !blocks_.empty() || stopping_; });
                if (blocks_.empty())
                    return;
                block = blocks_.front();
                blocks_.pop_front();
            }
            if (cancelled_)
                continue;
            if (!failed_ && EVP_DigestUpdate(digest_.get(), block.first, block.second) != 1) {
                ClearOpenSslErrors();
                failed_ = true;
            }
            hashed_ += block.second;
        }
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (worker_.joinable())
            worker_.join();
    }

    FileReader& file_;
    EvpMdCtxPtr digest_;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<const std::uint8_t*, std::size_t>> blocks_;
    const std::uint8_t* first_ = nullptr;
    bool stopping_ = false;
    std::atomic<bool> cancelled_{false};
    bool failed_ = false;    // written by the worker only until it is joined
    std::size_t hashed_ = 0; // likewise
};

struct LentDigest {
    const BYTE* data = nullptr;
    std::size_t size = 0;
    const EVP_MD_CTX* digest = nullptr;
};
thread_local LentDigest tLent;

} // namespace

EvpMdCtxPtr LoadFileWithDigest(std::string& target, const std::string& fileName, const EVP_MD* md) {
    if (md == nullptr) {
        target = readFileBytes(fileName);
        return nullptr;
    }
    // Opened as readFileBytes opens it, so the errors are the same.
    FileReader file(fileName);
    if (file.size() >= SIZE_MAX)
        throw OutOfMemoryError();
    const auto size = static_cast<std::size_t>(file.size());
    if (file.size() > kMaxDigestedSize) { // too large to be signed at all: no hash needed
        target = readAll(file, SIZE_MAX, size);
        return nullptr;
    }
    // The buffer is taken in the file's size at once and never moves, so the hashing thread can
    // read the blocks where they were loaded.
    DigestingReader reader(file, md);
    target = readAll(reader, SIZE_MAX, size);
    return reader.finish(reinterpret_cast<const std::uint8_t*>(target.data()), target.size());
}

ContentDigestScope::ContentDigestScope(const BYTE* data, std::size_t size, const EVP_MD_CTX* digest) {
    tLent = {data, size, digest};
}

ContentDigestScope::~ContentDigestScope() {
    tLent = {};
}

const EVP_MD_CTX* detail::lentContentDigest(const BYTE* data, std::size_t size, const EVP_MD* md) {
    if (tLent.digest == nullptr || tLent.data != data || tLent.size != size ||
        EVP_MD_CTX_get_type(tLent.digest) != EVP_MD_get_type(md))
        return nullptr;
    return tLent.digest;
}

} // namespace plombar::crypto

#include "ContentDigest.h"

#include "CryptoInternal.h"
#include "platform/Errors.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <deque>
#include <thread>

namespace plombar::crypto {

namespace {

constexpr std::int64_t kReadChunk = std::int64_t{8} << 20;
constexpr std::int64_t kMaxDigestedSize = INT_MAX; // the signing call refuses more than this anyway

// A read-only stream over an open file that hands every block it has read to a hashing thread.
class DigestingReader : public TStream {
public:
    DigestingReader(TFileStream& file, const EVP_MD* md) : file_(file) {
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

    std::int64_t Read(void* buffer, std::int64_t count) override {
        auto* p = static_cast<std::uint8_t*>(buffer);
        std::int64_t done = 0;
        while (done < count) {
            const std::int64_t n = file_.Read(p + done, std::min(count - done, kReadChunk));
            if (n <= 0)
                break;
            publish(p + done, static_cast<std::size_t>(n));
            done += n;
        }
        return done;
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override { return file_.Seek(offset, origin); }
    std::int64_t GetSize() override { return file_.GetSize(); }
    void SetSize(std::int64_t) override { throw StreamError("Stream write error"); }

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

    TFileStream& file_;
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

EvpMdCtxPtr LoadFileWithDigest(TMemoryStream& target, const std::string& fileName, const EVP_MD* md) {
    if (md == nullptr) {
        target.LoadFromFile(fileName);
        return nullptr;
    }
    // Opened as LoadFromFile opens it, so the errors are the same.
    TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
    if (file.GetSize() > kMaxDigestedSize) { // too large to be signed at all: no hash needed
        target.LoadFromStream(file);
        return nullptr;
    }
    // A file that does not know its size (empty, or under /proc) is read into a buffer that grows
    // and moves, which the hashing thread cannot follow: it is hashed once it is loaded.
    if (!file.SizeKnown()) {
        target.LoadFromStream(file);
        EvpMdCtxPtr digest(EVP_MD_CTX_new());
        if (!digest || EVP_DigestInit_ex(digest.get(), md, nullptr) != 1 ||
            EVP_DigestUpdate(digest.get(), target.Memory(), static_cast<std::size_t>(target.Size())) != 1) {
            ClearOpenSslErrors();
            return nullptr;
        }
        return digest;
    }
    DigestingReader reader(file, md);
    target.LoadFromStream(reader);
    return reader.finish(target.Memory(), static_cast<std::size_t>(target.Size()));
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

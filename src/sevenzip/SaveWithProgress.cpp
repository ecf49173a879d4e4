#include "sevenzip/SaveWithProgress.h"

#include "platform/AtomicFile.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace plombar::sevenzip {

namespace {

// How long the calling thread waits for news from the library before it lets `progress` run anyway:
// the window repaints at least this often, and a cancel is noticed within it.
constexpr std::chrono::milliseconds kPumpInterval{20};

// What the save's thread (and the library's workers) share with the calling thread. A progress call
// of the library is held until the calling thread has passed its count to `progress`: a cancel then
// answers the very call that reported the count, and the bytes the library works on ahead of what the
// user sees stay within one report.
struct SharedState {
    std::mutex mutex;
    std::condition_variable changed;
    UInt64 total = 0;
    UInt64 done = 0;
    std::uint64_t reports = 0; // library progress calls so far
    std::uint64_t shown = 0;   // of these, the ones passed to `progress`
    bool stopped = false;      // the caller gave up: every call answers E_ABORT from now on
    bool finished = false;     // the save's thread is done
    std::exception_ptr error;  // what the save raised
};

HRESULT relayProgress(void* sender, bool isTotal, UInt64 value) {
    auto& state = *static_cast<SharedState*>(sender);
    std::unique_lock lock(state.mutex);
    if (state.stopped)
        return E_ABORT;
    (isTotal ? state.total : state.done) = value;
    const std::uint64_t report = ++state.reports;
    state.changed.notify_all();
    state.changed.wait(lock, [&] { return state.stopped || state.shown >= report; });
    return state.stopped ? E_ABORT : S_OK;
}

// Joins the save's thread however the calling thread leaves, after telling the library to stop.
class SaveThread {
public:
    SaveThread(SharedState& state, ArchiveWriter& writer, Stream& output)
        : state_(state), thread_([&state, &writer, &output] {
              std::exception_ptr error;
              try {
                  writer.saveToStream(output);
              } catch (...) {
                  error = std::current_exception();
              }
              const std::lock_guard lock(state.mutex);
              state.error = error;
              state.finished = true;
              state.changed.notify_all();
          }) {}
    SaveThread(const SaveThread&) = delete;
    SaveThread& operator=(const SaveThread&) = delete;
    ~SaveThread() {
        {
            const std::lock_guard lock(state_.mutex);
            if (!state_.finished)
                state_.stopped = true;
            state_.changed.notify_all();
        }
        thread_.join();
    }

private:
    SharedState& state_;
    std::thread thread_;
};

class CallbackRelease {
public:
    explicit CallbackRelease(ArchiveWriter& writer) : writer_(writer) {}
    CallbackRelease(const CallbackRelease&) = delete;
    CallbackRelease& operator=(const CallbackRelease&) = delete;
    ~CallbackRelease() {
        try {
            writer_.setProgressCallback(nullptr, nullptr);
        } catch (...) {
            // Only refused while a save runs, and the save's thread has been joined by now.
        }
    }

private:
    ArchiveWriter& writer_;
};

} // namespace

void saveToFileWithProgress(ArchiveWriter& writer, const std::string& fileName, Progress& progress,
                            std::string_view stage) {
    progress.beginStage(stage, 0);
    // Created here, committed here: a save stopped or failed on the other thread leaves no file.
    AtomicFile file(fileName);
    SharedState state;
    writer.setProgressCallback(&state, relayProgress);
    const CallbackRelease release(writer);
    {
        SaveThread save(state, writer, file.stream());
        UInt64 shownTotal = 0;
        std::unique_lock lock(state.mutex);
        while (!state.finished) {
            state.changed.wait_for(lock, kPumpInterval,
                                   [&] { return state.finished || state.reports > state.shown; });
            if (state.finished)
                break;
            const std::uint64_t reports = state.reports;
            const UInt64 total = state.total;
            const UInt64 done = state.done;
            lock.unlock();
            // A raise (the user's cancel) unwinds through `save`, which stops the library and waits.
            if (total != shownTotal) {
                progress.beginStage(stage, total);
                shownTotal = total;
            }
            progress.advance(done);
            lock.lock();
            state.shown = reports;
            state.changed.notify_all();
        }
    }
    if (state.error)
        std::rethrow_exception(state.error);
    file.commit();
}

} // namespace plombar::sevenzip

#pragma once

// Progress of a long operation and the user's way to stop it. The window shows a progress dialog
// with "Отмена"; the command line and the tests ignore it.

#include "platform/Errors.h"

#include <cstdint>
#include <string_view>

namespace plombar {

// The user stopped the operation. Whoever catches it leaves no output and shows no success.
class CancelledError : public Error {
public:
    CancelledError() : Error("Операция отменена пользователем") {}
};

class Progress {
public:
    Progress() = default;
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    virtual ~Progress() = default;

    // A stage of `total` bytes (0: not known) begins ("Подпись", "Упаковка"); an operation may have
    // several.
    virtual void beginStage(std::string_view title, std::uint64_t total) = 0;

    // `done` bytes of the current stage are done. Raises CancelledError once the user cancelled.
    virtual void advance(std::uint64_t done) = 0;
};

// A Progress that shows nothing and never cancels.
Progress& ignoredProgress() noexcept;

} // namespace plombar

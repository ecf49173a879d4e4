#pragma once

#include "sevenzip/Interfaces.h"

#include <cstdint>
#include <exception>
#include <mutex>

namespace plombar::sevenzip {

// Collects what went wrong inside calls made by the library, which may come from its worker threads.
// An exception must not cross into the library: the call returns an error code instead, the library
// gives up and returns a failure from UpdateItems, and the writer then raises the first error
// recorded here, so the user reads "Cannot open file ..." rather than a bare result code.
class CallbackErrors {
public:
    // Keeps the first error; later ones are usually consequences of it.
    void record(std::exception_ptr error) noexcept;

    bool hasError() const noexcept;
    void rethrowFirst() const;

private:
    mutable std::mutex mutex_;
    std::exception_ptr first_;
};

// To be called inside a catch block of a library callback: records the exception being handled (when
// `errors` is given) and returns the result code that stands for it: E_OUTOFMEMORY for memory
// exhaustion, E_FAIL for anything else.
HRESULT resultFromCurrentException(CallbackErrors* errors) noexcept;

} // namespace plombar::sevenzip

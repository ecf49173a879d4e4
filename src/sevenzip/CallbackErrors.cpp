#include "sevenzip/CallbackErrors.h"

#include "platform/Errors.h"

#include <new>

namespace plombar::sevenzip {

void CallbackErrors::record(std::exception_ptr error) noexcept {
    std::lock_guard lock(mutex_);
    if (!first_)
        first_ = std::move(error);
}

bool CallbackErrors::hasError() const noexcept {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(first_);
}

void CallbackErrors::rethrowFirst() const {
    std::exception_ptr error;
    {
        std::lock_guard lock(mutex_);
        error = first_;
    }
    if (error)
        std::rethrow_exception(error);
}

HRESULT resultFromCurrentException(CallbackErrors* errors) noexcept {
    if (errors != nullptr)
        errors->record(std::current_exception());
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const OutOfMemoryError&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace plombar::sevenzip

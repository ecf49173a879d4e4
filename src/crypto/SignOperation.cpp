#include "SignOperation.h"

#include "platform/SystemErrors.h"

namespace plombar::crypto {

std::string FailureMessage(std::uint32_t code) {
    return systemMessage(code) + " - " + std::to_string(code);
}

} // namespace plombar::crypto

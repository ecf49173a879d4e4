#include "operations/Messages.h"

#include "platform/SystemErrors.h"

namespace plombar::operations {

std::string failureMessage(std::uint32_t code) {
    return systemMessage(code) + " - " + std::to_string(code);
}

} // namespace plombar::operations

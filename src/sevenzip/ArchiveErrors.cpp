#include "sevenzip/ArchiveErrors.h"

#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <cstdio>

namespace plombar::sevenzip {

std::string resultMessage(HRESULT code) {
    const auto unsignedCode = static_cast<std::uint32_t>(code);
    std::string text = systemMessage(unsignedCode);
    if (text.empty()) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "Error 0x%08X", unsignedCode);
        text = buffer;
    }
    return text;
}

void checkResult(HRESULT code) {
    if (code != S_OK)
        throw Error(resultMessage(code));
}

} // namespace plombar::sevenzip

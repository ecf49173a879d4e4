#pragma once

#include "platform/Errors.h"
#include "sevenzip/Interfaces.h"

#include <string>

namespace plombar::sevenzip {

// A library object that does not offer the interface asked for ("Interface not supported").
class InterfaceNotSupportedError : public Error {
public:
    InterfaceNotSupportedError() : Error("Interface not supported") {}
};

// The message of an error for a library result code: the system message text for the code; for a
// code that has no text, "Error 0x%08X", so that no error reaches the user with an empty message.
std::string resultMessage(HRESULT code);

// Raises an Error with resultMessage(code) when `code` is not 0. Unlike createObject,
// which fails only on bit 31, any non-zero code fails here (S_FALSE included).
void checkResult(HRESULT code);

} // namespace plombar::sevenzip

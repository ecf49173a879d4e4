#pragma once

// The window's side of the cryptography runtime: the wording of the key password question, and a
// missing GOST engine reported when the program starts.

#include "crypto/GostRuntime.h"
#include "crypto/PasswordSource.h"

#include <string>

namespace plombar::app {

class Prompts;

// The text the password dialog shows about the key (Prompts::askPassword's keyOwner): the
// certificate's subject, and after a wrong password a second line that says so and which attempt
// this is ("Неверный пароль, попробуйте ещё раз (попытка 2 из 3)").
std::string passwordQuestionText(const crypto::PasswordRequest& request);

// What the window says when the GOST engine cannot be used: one sentence saying what to install
// (or reinstall), and OpenSSL's errors from the failed load, one a line, for "Подробности".
struct GostModuleProblem {
    std::string sentence;
    std::string details;
};
GostModuleProblem describeGostModuleProblem(const crypto::GostRuntimeStatus& status);

// When the GOST engine cannot be used, says so in the error report with details and returns
// false; the program then goes on (every GOST operation reports the problem again). True when ready.
bool reportGostRuntimeAtStart(Prompts& prompts);

} // namespace plombar::app

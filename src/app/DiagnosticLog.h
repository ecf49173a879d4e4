#pragma once

#include <string>

namespace plombar::app {

// Says on the program's standard error (the desktop session's journal) why a platform call failed
// when the window can only show the system's fixed text for it, such as "Не удалось определить
// криптопровайдер" for a key file that others may read. Diagnostics name files, certificates and
// OpenSSL's reasons, never a password or key. Nothing is written for an empty diagnostic.
void logDiagnostic(const std::string& operation, const std::string& diagnostic);

} // namespace plombar::app

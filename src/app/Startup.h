#pragma once

#include <string>

namespace plombar::app {

// The application's title for this executable (its file name without folder, cut at the first ".",
// the rest of it in lower case): "plombar".
std::string executableTitle();

// Loads Qt's own Russian texts (file dialog, standard buttons) for the life of the application.
// False when the translation is not installed; the dialogs then stay in English.
bool installQtTranslations();

} // namespace plombar::app

#pragma once

#include <QStringList>

#include <string>

namespace plombar::app {

// The application's title for this executable (its file name without folder, cut at the first ".",
// the rest of it in lower case): "plombar".
std::string executableTitle();

// The file named on the command line after Qt has taken its own options (`plombar FILE`, or a
// file: URL), as an absolute path; empty when none is named. Only the first is taken.
std::string fileFromArguments(const QStringList& arguments);

// Loads Qt's own Russian texts (file dialog, standard buttons) for the life of the application.
// False when the translation is not installed; the dialogs then stay in English.
bool installQtTranslations();

} // namespace plombar::app

#pragma once

#include <QStringList>

#include <string>

namespace plombar::app {

// Converts an open-file dialog filter that alternates description and pattern, separated by "|"
// ("Signature|*.sig|PKCS7|*.p7s"), to Qt's name filters ("Signature (*.sig)", "PKCS7 (*.p7s)").
// Several patterns separated by ";" become one space-separated list, and "*.*" becomes "*" (every
// file, also one without an extension). An empty filter gives no name filters (all files); a
// description without a pattern at the end is dropped.
QStringList qtNameFilters(const std::string& filter);

} // namespace plombar::app

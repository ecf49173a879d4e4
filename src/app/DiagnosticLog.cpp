#include "DiagnosticLog.h"

#include <cstdio>

namespace plombar::app {

void logDiagnostic(const std::string& operation, const std::string& diagnostic) {
    if (diagnostic.empty())
        return;
    // One write per line, so that lines of other processes sharing the journal do not interleave.
    const std::string line = "plombar: " + operation + ": " + diagnostic + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace plombar::app

#include "ProcessLimits.h"

#include <sys/resource.h>

namespace plombar {

bool disableCoreDumps() noexcept {
    const rlimit none{0, 0};
    return ::setrlimit(RLIMIT_CORE, &none) == 0;
}

} // namespace plombar

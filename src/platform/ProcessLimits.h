#pragma once

namespace plombar {

// Sets the core file size limit, soft and hard, to 0 for this process and what it starts: a core
// dump would hold the private keys and passwords in memory. False when the limit could not be set.
bool disableCoreDumps() noexcept;

} // namespace plombar

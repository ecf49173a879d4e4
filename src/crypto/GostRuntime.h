#pragma once

#include <string>

namespace plombar::crypto {

// OpenSSL with the GOST engine, loaded once per process.
//
// The program's main() holds one GostRuntime for its whole run:
//
//     int main(...) {
//         plombar::crypto::GostRuntime gost;        // loads the engine; never throws
//         if (!gost.Ready()) show(gost.ErrorText()); // the program still starts and says so
//         ...                                       // every certificate and key must be
//     }                                             // released before this line
//
// OpenSSL's own exit clean-up runs after main; an engine-backed key freed after it crashes, so no
// certificate or key may live in a static object. Functions of this layer start the
// runtime on first use when main() did not (tests), and every operation that needs GOST reports a
// missing engine with GostRuntimeErrorText() instead of falling back to other algorithms.
class GostRuntime {
public:
    GostRuntime();
    GostRuntime(const GostRuntime&) = delete;
    GostRuntime& operator=(const GostRuntime&) = delete;
    ~GostRuntime();

    bool Ready() const;
    // Empty when ready; else the plain text that the program shows at start and in every operation.
    std::string ErrorText() const;
};

// Makes OpenSSL wipe every block it frees or moves, so that keys, passwords and values derived
// from them that OpenSSL or the engine free without clearing them first (big numbers, decoded key
// encodings) leave no copy in the freed heap. Takes effect only before OpenSSL's first allocation:
// the runtime calls it first thing, and a main() that may touch OpenSSL before the runtime starts
// calls it first. True when OpenSSL's blocks are wiped.
bool WipeOpenSslMemoryOnFree();

// Loads the engine if that has not happened yet (thread-safe) and tells whether it is usable.
bool GostRuntimeReady();

// What the runtime knows of the engine, for a caller that words the problem itself (the window).
struct GostRuntimeStatus {
    bool ready = false;
    bool engineFound = false;  // found but not usable: it failed to load or lacks the GOST digests
    std::string openSslErrors; // OpenSSL's errors from the failed load, joined by "; "; may be empty
};
GostRuntimeStatus QueryGostRuntime();

// Why the engine is not usable ("Не найден модуль ГОСТ для OpenSSL (libengine-gost-openssl)..."),
// in Russian or English by the locale as the system texts are; empty when it is ready.
std::string GostRuntimeErrorText();

} // namespace plombar::crypto

#pragma once

// A release step that must run whether the work before it returned or raised, and that may raise
// an error itself (a checked CertCloseStore): the operations nest these so that everything is
// released innermost first on every path.

namespace plombar::crypto {

// Runs `body`, then `finally`. When `body` raises, `finally` still runs and the error goes on; when
// `finally` raises meanwhile, its error replaces the first one, as a raising finally block does.
template <typename Body, typename Finally> void TryFinally(Body&& body, Finally&& finally) {
    try {
        body();
    } catch (...) {
        finally();
        throw;
    }
    finally();
}

} // namespace plombar::crypto

#pragma once

// A release step that must run whether the work before it returned or raised, and that may raise
// an error itself (a checked CertCloseStore): the operations nest these so that everything is
// released innermost first on every path.

namespace plombar::crypto {

// Runs `body`, then `release`. When `body` raises, `release` still runs and the error goes on; when
// `release` raises meanwhile, its error replaces the first one, as a raising finally block does.
template <typename Body, typename Release> void TryFinally(Body&& body, Release&& release) {
    try {
        body();
    } catch (...) {
        release();
        throw;
    }
    release();
}

} // namespace plombar::crypto

#pragma once

// How a flow reaches the user while it runs: the window answers with its dialogs, plombar-cli with
// its options and the terminal, the tests with a script. A flow never asks the user anything except
// through this interface, so the same flow serves all three.

#include "crypto/Certificate.h"
#include "crypto/CertificateStore.h"
#include "crypto/PasswordSource.h"
#include "platform/Progress.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace plombar::operations {

class Interaction {
public:
    Interaction() = default;
    Interaction(const Interaction&) = delete;
    Interaction& operator=(const Interaction&) = delete;
    virtual ~Interaction();

    // Chooses one of `entries` (a store's certificates, in the store's order) under `title`. The
    // window shows the selection dialog (also for an empty list, so that the user sees why nothing
    // can be chosen); plombar-cli picks what --thumbprint or --subject names. nullopt: none chosen.
    virtual std::optional<std::size_t> chooseCertificate(const std::string& title,
                                                         const std::vector<crypto::StoreEntry>& entries) = 0;

    // A plain message ("Подписанное сообщение создано"); returns once the user has seen it.
    virtual void showMessage(const std::string& text) = 0;

    // Shows a certificate (the signer's, after a check) and returns once the user has closed it. A
    // view that cannot be shown is not reported: the flow goes on without it.
    virtual void showCertificate(const crypto::Certificate& certificate) noexcept = 0;

    // Opens a folder in the desktop's file browser after an output was written there.
    virtual void openFolder(const std::string& folder) = 0;

    // Where the passwords of private keys come from.
    virtual crypto::PasswordSource& passwords() = 0;

    // Progress of the long stages, and the user's way to cancel them (CancelledError).
    virtual Progress& progress() { return ignoredProgress(); }

    // The flow has released what it held and has nothing more to show but the output's folder:
    // called once per run, on every outcome, also while an error leaves the flow (so it must not
    // raise). The window resets its page here, so that the page is reset when the folder opens.
    virtual void runEnded() noexcept {}
};

} // namespace plombar::operations

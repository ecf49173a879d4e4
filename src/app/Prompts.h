#pragma once

#include "crypto/CertificateDescription.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plombar::app {

// Every point where the program waits for the user goes through this interface, so that the
// handlers stay plain synchronous code: the production implementation (QtPrompts) shows modal Qt
// dialogs, the tests answer from a script at once and record what was asked.
//
// All texts are UTF-8. A method returns only after the user has answered; "cancel" is nullopt.
// The progress dialog of a running operation, shown while it lives.
class ProgressView {
public:
    virtual ~ProgressView() = default;
    // Shows stage `title` with `done` of `total` bytes and lets the window repaint. Gives false once
    // the user has pressed "Отмена".
    virtual bool update(const std::string& title, std::uint64_t done, std::uint64_t total) = 0;
};

// When the progress dialog appears and how often it is updated.
struct ProgressTimings {
    std::chrono::milliseconds delay{1000};  // a run shorter than this shows no dialog
    std::chrono::milliseconds interval{50}; // the dialog is updated (the window repainted) this often
};

class Prompts {
public:
    virtual ~Prompts() = default;

    // An open-file dialog. `dialogName` names the dialog ("signatureFileDialog"), `filter` alternates
    // description and pattern separated by "|" ("Signature|*.sig|PKCS7|*.p7s", empty: all files),
    // `initialFile` is the file the dialog opens on (empty: none). Gives the chosen full path; a
    // typed name of a file that does not exist is accepted.
    virtual std::optional<std::string> openFile(const std::string& dialogName, const std::string& filter,
                                                const std::string& initialFile) = 0;

    // The plain message box: modal, one OK button, no icon, the application's title as caption.
    virtual void showMessage(const std::string& text) = 0;

    // The application's error report: modal, stop icon, OK, the application's title as caption.
    // `text` is shown as given (the caller has applied the full-stop rule).
    virtual void showError(const std::string& text) = 0;

    // The error report with details folded under "Подробности": `text` is one plain sentence for
    // the user, `details` the technical part (may be empty). Falls back to the plain report.
    virtual void showDetailedError(const std::string& text, const std::string& details) {
        (void)details;
        showError(text);
    }

    // The certificate selection dialog over `certificates`; `title` and `displayText` may be empty
    // (defaults are shown then). The dialog can show any row in the certificate view dialog. Gives
    // the index of the chosen certificate.
    virtual std::optional<std::size_t>
    selectCertificate(const std::string& title, const std::string& displayText,
                      const std::vector<crypto::CertificateDescription>& certificates) = 0;

    // The modal certificate view dialog.
    virtual void viewCertificate(const crypto::CertificateDescription& certificate) = 0;

    // Asks for the password of an encrypted private key; `keyOwner` says whose key it is (for
    // example the certificate's "issued to"). Gives the password, nullopt when cancelled.
    virtual std::optional<std::string> askPassword(const std::string& keyOwner) = 0;

    // A save-file dialog (same arguments as openFile); asks before replacing an existing file. Gives
    // the chosen full path, nullopt when cancelled. Without a dialog of its own: cancelled.
    virtual std::optional<std::string> saveFile(const std::string& dialogName, const std::string& filter,
                                                const std::string& initialFile) {
        (void)dialogName;
        (void)filter;
        (void)initialFile;
        return std::nullopt;
    }

    // A question with the buttons "Да" and "Нет" ("Нет" the default); true for "Да". Without a
    // dialog of its own: "Нет".
    virtual bool confirm(const std::string& text) {
        (void)text;
        return false;
    }

    // Opens `folder` in the desktop's file browser. Whether that worked is not reported.
    virtual void openFolder(const std::string& folder) = 0;

    // The modal progress dialog with "Отмена", opened once a run has lasted progressTimings().delay;
    // nullptr: no dialog (the run cannot be cancelled then).
    virtual std::unique_ptr<ProgressView> openProgress() { return nullptr; }
    virtual ProgressTimings progressTimings() const { return {}; }
};

} // namespace plombar::app

#pragma once

// The window's side of a flow: certificates are chosen and shown in the certificate dialogs,
// messages and passwords go through the window's prompts.

#include "Prompts.h"
#include "operations/Interaction.h"

#include <chrono>
#include <memory>
#include <string>

namespace plombar::app {

// Asks for key passwords through the password dialog (Prompts::askPassword), with the question
// text of passwordQuestionText; a cancelled dialog cancels the question.
class PromptPasswords : public crypto::PasswordSource {
public:
    explicit PromptPasswords(Prompts& prompts) : prompts_(prompts) {}
    std::optional<crypto::SecureString> password(const crypto::PasswordRequest& request) override;

private:
    Prompts& prompts_;
};

// The progress of one run as the window shows it: nothing for the first progressTimings().delay, then
// the prompts' progress dialog, updated at most every progressTimings().interval. Runs on the GUI
// thread; advance() raises CancelledError once the user has pressed "Отмена".
class WindowProgress : public Progress {
public:
    explicit WindowProgress(Prompts& prompts);
    void beginStage(std::string_view title, std::uint64_t total) override;
    void advance(std::uint64_t done) override;

private:
    using Clock = std::chrono::steady_clock;

    Prompts& prompts_;
    ProgressTimings timings_;
    Clock::time_point started_;
    Clock::time_point lastUpdate_;
    std::unique_ptr<ProgressView> view_;
    std::string title_;
    std::uint64_t total_ = 0;
};

// One per run of a page's handler; `prompts` must outlive it.
class WindowInteraction : public operations::Interaction {
public:
    explicit WindowInteraction(Prompts& prompts)
        : prompts_(prompts), passwords_(prompts), progress_(prompts) {}

    // The certificate selection dialog titled `title` (default display text), also over an empty
    // list, so that the user sees why nothing can be chosen.
    std::optional<std::size_t> chooseCertificate(const std::string& title,
                                                 const std::vector<crypto::StoreEntry>& entries) override;
    void showMessage(const std::string& text) override;
    void showCertificate(const crypto::Certificate& certificate) noexcept override;
    void openFolder(const std::string& folder) override;
    crypto::PasswordSource& passwords() override { return passwords_; }
    Progress& progress() override { return progress_; }

private:
    Prompts& prompts_;
    PromptPasswords passwords_;
    WindowProgress progress_;
};

} // namespace plombar::app

#pragma once

// The window's side of a flow: certificates are chosen and shown in the certificate dialogs,
// messages and passwords go through the window's prompts.

#include "operations/Interaction.h"

namespace plombar::app {

class Prompts;

// Asks for key passwords through the password dialog (Prompts::askPassword), with the question
// text of passwordQuestionText; a cancelled dialog cancels the question.
class PromptPasswords : public crypto::PasswordSource {
public:
    explicit PromptPasswords(Prompts& prompts) : prompts_(prompts) {}
    std::optional<crypto::SecureString> password(const crypto::PasswordRequest& request) override;

private:
    Prompts& prompts_;
};

// One per run of a page's handler; `prompts` must outlive it.
class WindowInteraction : public operations::Interaction {
public:
    explicit WindowInteraction(Prompts& prompts) : prompts_(prompts), passwords_(prompts) {}

    // The certificate selection dialog titled `title` (default display text), also over an empty
    // list, so that the user sees why nothing can be chosen.
    std::optional<std::size_t> chooseCertificate(const std::string& title,
                                                 const std::vector<crypto::StoreEntry>& entries) override;
    void showMessage(const std::string& text) override;
    void showCertificate(const crypto::Certificate& certificate) noexcept override;
    void openFolder(const std::string& folder) override;
    crypto::PasswordSource& passwords() override { return passwords_; }

private:
    Prompts& prompts_;
    PromptPasswords passwords_;
};

} // namespace plombar::app

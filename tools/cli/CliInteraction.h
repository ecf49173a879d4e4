#pragma once

// plombar-cli's side of a flow: the certificate comes from --thumbprint or --subject, messages are
// printed on stdout, a certificate is printed on request, and no folder is opened.

#include "CliSupport.h"

#include "operations/Interaction.h"

#include <optional>

namespace plombar::cli {

// The key password questions of a command, asked through `input`. When the input cannot give one (no
// terminal, Ctrl-D, a password file that cannot be read) its error is printed at once and the
// question counts as cancelled; failure() then holds its exit code for the command.
class KeyPasswordPrompt : public crypto::PasswordSource {
public:
    explicit KeyPasswordPrompt(PasswordInput& input) : input_(input) {}

    std::optional<crypto::SecureString> password(const crypto::PasswordRequest& request) override;
    int attempts() const override { return input_.attempts(); }
    int failure() const { return failure_; }

private:
    PasswordInput& input_;
    int failure_ = 0;
};

class CliInteraction : public operations::Interaction {
public:
    // `choice` picks the certificate (a flow that chooses none needs none); `passwords` must outlive
    // this. With `printCertificates`, showCertificate prints the certificate's fields, indented.
    CliInteraction(crypto::PasswordSource& passwords, CertificateChoice choice = {},
                   bool printCertificates = false)
        : passwords_(passwords), choice_(std::move(choice)), printCertificates_(printCertificates) {}

    // The one entry the choice names. When none or several match, nullopt, and choiceFailure()
    // holds the error that says so (exit code kExitNotInStore) for the command to report.
    std::optional<std::size_t> chooseCertificate(const std::string& title,
                                                 const std::vector<crypto::StoreEntry>& entries) override;
    void showMessage(const std::string& text) override;
    void showCertificate(const crypto::Certificate& certificate) noexcept override;
    void openFolder(const std::string& folder) override;
    crypto::PasswordSource& passwords() override { return passwords_; }

    const std::optional<CliError>& choiceFailure() const { return choiceFailure_; }

private:
    crypto::PasswordSource& passwords_;
    CertificateChoice choice_;
    bool printCertificates_;
    std::optional<CliError> choiceFailure_;
};

} // namespace plombar::cli

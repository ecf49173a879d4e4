#include "CliInteraction.h"

namespace plombar::cli {

std::optional<crypto::SecureString> KeyPasswordPrompt::password(const crypto::PasswordRequest& request) {
    try {
        return input_.password(request);
    } catch (const CliError& error) {
        failure_ = error.code();
        printError(error.what());
        return std::nullopt;
    }
}

std::optional<std::size_t> CliInteraction::chooseCertificate(const std::string&,
                                                             const std::vector<crypto::StoreEntry>& entries) {
    try {
        return chooseEntry(entries, choice_);
    } catch (const CliError& error) {
        choiceFailure_ = error;
        return std::nullopt;
    }
}

void CliInteraction::showMessage(const std::string& text) {
    printLine(text);
}

void CliInteraction::showCertificate(const crypto::Certificate& certificate) noexcept {
    if (!printCertificates_)
        return;
    try {
        const crypto::CertificateDescription d = certificate.describe();
        const auto field = [](const char* name, const std::string& value) {
            printLine(std::string("    ") + name + " " + value);
        };
        field("Кому выдан:", d.issuedTo);
        field("Кем выдан:", d.issuedBy);
        field("Действителен с:", d.validFrom);
        field("Действителен по:", d.validTo);
        field("Алгоритм ключа:", d.keyAlgorithm);
        field("Серийный номер:", d.serialNumber);
        field("Алгоритм подписи:", d.signatureAlgorithm);
        field("Издатель:", d.issuer);
        field("Владелец:", d.subject);
        field("Отпечаток (SHA-1):", d.thumbprint);
    } catch (...) {
        // Not reported, as the window does not report a view it cannot show.
    }
}

void CliInteraction::openFolder(const std::string&) {}

} // namespace plombar::cli

#include "WindowInteraction.h"

#include "CryptoStartup.h"
#include "Prompts.h"

#include <openssl/crypto.h>

namespace plombar::app {

std::optional<crypto::SecureString> PromptPasswords::password(const crypto::PasswordRequest& request) {
    std::optional<std::string> answer = prompts_.askPassword(passwordQuestionText(request));
    if (!answer)
        return std::nullopt;
    crypto::SecureString password(*answer);
    // The dialog hands the text over in an ordinary string; leave no copy of it behind.
    OPENSSL_cleanse(answer->data(), answer->size());
    return password;
}

WindowProgress::WindowProgress(Prompts& prompts)
    : prompts_(prompts), timings_(prompts.progressTimings()), started_(Clock::now()) {}

void WindowProgress::beginStage(std::string_view title, std::uint64_t total) {
    title_ = std::string(title);
    total_ = total;
    advance(0);
}

void WindowProgress::advance(std::uint64_t done) {
    const Clock::time_point now = Clock::now();
    if (!view_) {
        if (now - started_ < timings_.delay)
            return;
        view_ = prompts_.openProgress();
        if (!view_)
            return;
    } else if (now - lastUpdate_ < timings_.interval) {
        return;
    }
    lastUpdate_ = now;
    if (!view_->update(title_, done, total_))
        throw CancelledError();
}

std::optional<std::size_t>
WindowInteraction::chooseCertificate(const std::string& title,
                                     const std::vector<crypto::StoreEntry>& entries) {
    std::vector<crypto::CertificateDescription> rows;
    rows.reserve(entries.size());
    for (const crypto::StoreEntry& entry : entries)
        rows.push_back(entry.describe());
    const std::optional<std::size_t> chosen = prompts_.selectCertificate(title, "", rows);
    if (!chosen || *chosen >= entries.size())
        return std::nullopt;
    return chosen;
}

void WindowInteraction::showMessage(const std::string& text) {
    prompts_.showMessage(text);
}

void WindowInteraction::showCertificate(const crypto::Certificate& certificate) noexcept {
    try {
        prompts_.viewCertificate(certificate.describe());
    } catch (...) {
        // Not reported: the dialog is a courtesy, the flow goes on.
    }
}

void WindowInteraction::openFolder(const std::string& folder) {
    prompts_.openFolder(folder);
}

} // namespace plombar::app

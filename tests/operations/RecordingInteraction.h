#pragma once

// An Interaction that answers from a script at once and writes down what the flow asked, in order.

#include "TestPki.h"

#include "operations/Interaction.h"

#include <string>
#include <vector>

namespace plombar::test {

class RecordingInteraction : public operations::Interaction {
public:
    std::string pickThumbprint; // the entry to choose; empty: cancel the dialog
    std::vector<std::string> events;
    ScriptedPasswords noPasswords{{}};
    crypto::PasswordSource* passwordSource = &noPasswords;

    std::optional<std::size_t> chooseCertificate(const std::string& title,
                                                 const std::vector<crypto::StoreEntry>& entries) override {
        events.push_back("choose: " + title);
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (!pickThumbprint.empty() && entries[i].certificate.thumbprint() == pickThumbprint)
                return i;
        return std::nullopt;
    }
    void showMessage(const std::string& text) override { events.push_back("message: " + text); }
    void showCertificate(const crypto::Certificate& certificate) noexcept override {
        events.push_back("certificate: " + certificate.thumbprint());
    }
    void openFolder(const std::string& folder) override { events.push_back("open: " + folder); }
    crypto::PasswordSource& passwords() override { return *passwordSource; }
};

} // namespace plombar::test

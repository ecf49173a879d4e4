#include "CryptoStartup.h"

#include "Prompts.h"
#include "crypto/GostRuntime.h"
#include "platform/Paths.h"

#include <openssl/crypto.h>

#include <optional>
#include <utility>

namespace plombar::app {

std::string passwordQuestionText(const crypto::PasswordRequest& request) {
    std::string text = request.subject;
    if (request.previousWasWrong)
        text += "\nНеверный пароль, попробуйте ещё раз (попытка " + std::to_string(request.attempt) + " из " +
                std::to_string(crypto::kPasswordAttempts) + ")";
    return text;
}

crypto::PasswordPrompt passwordPromptFor(Prompts& prompts) {
    return [&prompts](const crypto::PasswordRequest& request, crypto::SecureString& password) {
        std::optional<std::string> answer = prompts.askPassword(passwordQuestionText(request));
        if (!answer)
            return crypto::PasswordAnswer::Cancelled;
        password.assign(*answer);
        // The dialog hands the text over in an ordinary string; leave no copy of it behind.
        OPENSSL_cleanse(answer->data(), answer->size());
        return crypto::PasswordAnswer::Provided;
    };
}

bool reportGostRuntimeAtStart(Prompts& prompts) {
    if (crypto::GostRuntimeReady())
        return true;
    prompts.showError(errorReportText(crypto::GostRuntimeErrorText()));
    return false;
}

} // namespace plombar::app

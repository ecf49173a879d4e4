// plombar-cli decrypt FILE.enc

#include "CliSupport.h"
#include "Commands.h"

#include "crypto/DecryptOperation.h"
#include "platform/SystemErrors.h"

#include <cstdio>

namespace plombar::cli {

using namespace plombar::crypto;

namespace {

// The decryption calls failed (not an enveloped message, a key that does not fit, ...).
constexpr int kExitDecryptFailed = 14;

constexpr const char* kDecryptHelp =
    "plombar-cli decrypt ФАЙЛ [--password-file ФАЙЛ | --password-fd N]\n"
    "Расшифровывает ФАЙЛ (сообщение PKCS #7 enveloped-data, DER или BER) так же, как страница\n"
    "«DECRYPT» окна: ключ берётся из хранилища «MY» у сертификата, который назван получателем\n"
    "сообщения. Результат записывается рядом, под именем ФАЙЛА без последних четырёх символов\n"
    "(отчёт.pdf.enc -> отчёт.pdf); существующий файл заменяется. Сообщения те же, что\n"
    "показывает окно; путь к результату печатается последней строкой.\n"
    "Пароль зашифрованного закрытого ключа:\n";

// The window's part, played on the terminal: the last message is kept for the outcome.
class TerminalDecryptView : public DecryptView {
public:
    void ShowMessage(const std::string& text) override { message = text; }
    void ResetPage() noexcept override {}
    void OpenFolder(const std::string&) override {}

    std::string message;
};

int failureExit(std::uint32_t code, const PasswordInput& passwords) {
    // What stopped the prompt (Ctrl-D, no terminal, a password file that cannot be read) says it
    // best, also after a wrong password.
    if (passwords.promptFailure() != 0)
        return passwords.promptFailure();
    if (passwords.wrongPasswordSeen() || code == winerr::ERROR_INVALID_PASSWORD)
        return kExitWrongPassword;
    if (code == winerr::ERROR_CANCELLED)
        return kExitCancelled;
    switch (code) {
    case winerr::NTE_PROVIDER_DLL_FAIL:
        return kExitEngineMissing;
    case winerr::CRYPT_E_NO_DECRYPT_CERT:
        return kExitNotInStore;
    case winerr::NTE_BAD_KEY:
    case winerr::NTE_PERM:
        return kExitNoKey;
    default:
        return kExitDecryptFailed;
    }
}

std::string exitCodeHelp() {
    return ExitCodeHelp({kExitOk, kExitFailure, kExitUsage, kExitFileNotFound, kExitWrongPassword,
                         kExitNotInStore, kExitEngineMissing, kExitCancelled, kExitNoKey, kExitWriteFailed}) +
           "  14  расшифрование не удалось (не зашифрованное сообщение, ключ не подходит, ...)\n";
}

} // namespace

int runDecryptCommand(const std::vector<std::string>& arguments) {
    if (HelpAsked(arguments, {"password-file", "password-fd"})) {
        std::printf("%s%s\n%s", kDecryptHelp, kPasswordOptionsHelp, exitCodeHelp().c_str());
        return kExitOk;
    }
    Arguments args(arguments, {"password-file", "password-fd"}, {});
    const std::string file = args.single("расшифровываемый файл");
    PasswordInput passwords(args);
    requireGostEngine("decrypt");

    auto prompt = passwords.installKeyPrompt();
    TerminalDecryptView view;
    const DecryptResult result = DecryptFile(file, view);
    if (result.outcome == DecryptOutcome::Success) {
        printLine(view.message);
        printLine(result.outputPath);
        return kExitOk;
    }
    const int code = failureExit(result.errorCode, passwords);
    printError(view.message);
    // When the prompt failed, it has said why already.
    if (passwords.promptFailure() == 0 && !result.diagnostic.empty())
        printError(result.diagnostic);
    return code;
}

} // namespace plombar::cli

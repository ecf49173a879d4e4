// plombar-cli decrypt FILE.enc

#include "CliInteraction.h"
#include "CliSupport.h"
#include "Commands.h"

#include "operations/DecryptFlow.h"
#include "platform/SystemErrors.h"

#include <cstdio>

namespace plombar::cli {

using namespace plombar::operations;

namespace {

// The decryption failed (not an enveloped message, a key that does not fit, ...).
constexpr int kExitDecryptFailed = 14;

constexpr const char* kDecryptHelp =
    "plombar-cli decrypt ФАЙЛ [--password-file ФАЙЛ | --password-fd N]\n"
    "Расшифровывает ФАЙЛ (сообщение PKCS #7 enveloped-data, DER или BER) так же, как страница\n"
    "«DECRYPT» окна: ключ берётся из хранилища «MY» у сертификата, который назван получателем\n"
    "сообщения. Результат записывается рядом, под именем ФАЙЛА без последних четырёх символов\n"
    "(отчёт.pdf.enc -> отчёт.pdf); существующий файл заменяется. Сообщения те же, что\n"
    "показывает окно; путь к результату печатается последней строкой.\n"
    "Размер ФАЙЛА не ограничен (у окна предел 300 МиБ): он расшифровывается потоком, в памяти,\n"
    "которая не растёт с файлом.\n"
    "Пароль зашифрованного закрытого ключа:\n";

// The window's part, played on the terminal: the message is kept, to go to stdout on success and
// to stderr on failure.
class DecryptInteraction : public CliInteraction {
public:
    using CliInteraction::CliInteraction;
    void showMessage(const std::string& text) override { message = text; }

    std::string message;
};

int failureExit(std::uint32_t code) {
    switch (code) {
    case winerr::ERROR_INVALID_PASSWORD:
        return kExitWrongPassword;
    case winerr::ERROR_CANCELLED:
        return kExitCancelled;
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

    // What stops a password question (Ctrl-D, no terminal, a password file that cannot be read)
    // leaves as that CliError, with its message and code.
    DecryptInteraction interaction(passwords);
    const DecryptResult result = decryptFile(file, interaction);
    if (result.outcome == DecryptOutcome::Success) {
        printLine(interaction.message);
        printLine(result.outputPath);
        return kExitOk;
    }
    printError(interaction.message);
    if (!result.diagnostic.empty())
        printError(result.diagnostic);
    return failureExit(result.errorCode);
}

} // namespace plombar::cli

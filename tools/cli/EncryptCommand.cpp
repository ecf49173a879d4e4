// plombar-cli encrypt FILE (--thumbprint T | --subject TEXT | --cert FILE.cer)

#include "CliInteraction.h"
#include "CliSupport.h"
#include "Commands.h"

#include "operations/EncryptFlow.h"
#include "operations/Messages.h"

#include <cstdio>

namespace plombar::cli {

using namespace plombar::operations;

namespace {

// The encryption failed (an RSA or EC certificate, a damaged key, ...).
constexpr int kExitEncryptFailed = 13;

constexpr const char* kEncryptHelp =
    "plombar-cli encrypt ФАЙЛ (--thumbprint ОТПЕЧАТОК | --subject ИМЯ | --cert ФАЙЛ.cer)\n"
    "Шифрует ФАЙЛ для получателя так же, как страница «Шифрование» окна: рядом появляется\n"
    "ФАЙЛ.enc (сообщение PKCS #7 enveloped-data в DER, ГОСТ 28147-89 с передачей ключа\n"
    "по ГОСТ Р 34.10 на сертификат получателя); существующий файл заменяется.\n"
    "Сертификат получателя берётся из хранилища «MY» (закрытый ключ не нужен) или из файла\n"
    "с одним сертификатом (DER, Base64 или PEM). Сообщения те же, что показывает окно; путь\n"
    "к ФАЙЛ.enc печатается последней строкой.\n"
    "Размер ФАЙЛА не ограничен (у окна предел 300 МиБ): он шифруется потоком, в памяти,\n"
    "которая не растёт с файлом.\n"
    "  --thumbprint  отпечаток SHA-1 сертификата в хранилище или его начало (от 4 цифр)\n"
    "  --subject     общее имя (CN) владельца целиком или часть строки владельца\n"
    "  --cert        файл сертификата получателя (DER, Base64 или PEM)\n";

// Encryption asks for no password.
class NoPasswords : public crypto::PasswordSource {
public:
    std::optional<crypto::SecureString> password(const crypto::PasswordRequest&) override {
        return std::nullopt;
    }
};

std::string exitCodeHelp() {
    return ExitCodeHelp({kExitOk, kExitFailure, kExitUsage, kExitFileNotFound, kExitNotACertificate,
                         kExitNotInStore, kExitEngineMissing, kExitWriteFailed}) +
           "  13  шифрование не удалось (например, сертификат получателя не ГОСТ)\n";
}

} // namespace

int runEncryptCommand(const std::vector<std::string>& arguments) {
    if (HelpAsked(arguments, {"thumbprint", "subject", "cert"})) {
        std::printf("%s%s\n%s", kEncryptHelp, kThumbprintHelp, exitCodeHelp().c_str());
        return kExitOk;
    }
    Arguments args(arguments, {"thumbprint", "subject", "cert"}, {});
    const std::string file = args.single("шифруемый файл");
    EncryptRequest request{file, false, {}};
    CertificateChoice choice;
    if (const auto certificate = args.value("cert")) {
        if (args.value("thumbprint") || args.value("subject"))
            throw CliError(kExitUsage, "укажите либо --cert, либо сертификат из хранилища");
        request.certificateFromFile = true;
        request.certificatePath = *certificate;
    } else {
        choice = choiceFrom(args);
    }
    requireGostEngine("encrypt");

    NoPasswords passwords;
    CliInteraction interaction(passwords, choice);
    EncryptResult result;
    try {
        result = encryptFile(request, interaction);
    } catch (const FailedStepError& error) {
        // The system's text says little on its own; the diagnostic says why.
        printError(error.message());
        printError(error.diagnostic());
        return kExitEncryptFailed;
    }
    if (result.outcome == EncryptOutcome::Success) {
        printLine(result.outputPath);
        return kExitOk;
    }
    if (request.certificateFromFile) {
        printError("«" + request.certificatePath + "» не содержит сертификата");
        return kExitNotACertificate;
    }
    if (interaction.choiceFailure()) {
        printError(interaction.choiceFailure()->what());
        return interaction.choiceFailure()->code();
    }
    return kExitNotInStore;
}

} // namespace plombar::cli

// plombar-cli sign FILE (--thumbprint T | --subject TEXT) [--attached] [--base64] [--7z] [--cades]

#include "CliSupport.h"
#include "Commands.h"

#include "CliInteraction.h"

#include "operations/SignFlow.h"
#include "platform/Errors.h"
#include "platform/SystemErrors.h"

#include <cstdio>

namespace plombar::cli {

using namespace plombar::operations;
using crypto::SignatureLayout;

namespace {

constexpr const char* kSignHelp =
    "plombar-cli sign ФАЙЛ (--thumbprint ОТПЕЧАТОК | --subject ИМЯ) [--attached] [--base64] [--7z]\n"
    "                 [--cades]\n"
    "                 [--password-file ФАЙЛ | --password-fd N]\n"
    "Подписывает ФАЙЛ сертификатом из хранилища «MY» так же, как окно программы: рядом\n"
    "появляется ФАЙЛ.sig (подпись PKCS #7 в DER) или, с --base64, ФАЙЛ.p7s (её текст Base64);\n"
    "существующий файл подписи заменяется. Хеш выбирается по ключу сертификата\n"
    "(ГОСТ Р 34.11-94 для 34.10-2001, ГОСТ Р 34.11-2012 256/512 для 34.10-2012).\n"
    "Сообщения те же, что показывает окно; путь к подписи печатается последней строкой.\n"
    "Размер ФАЙЛА не ограничен (у окна программы предел — 300 МБ), файл читается один раз\n"
    "и целиком в памяти не держится.\n"
    "  --thumbprint  отпечаток SHA-1 сертификата или его начало (от 4 цифр)\n"
    "  --subject     общее имя (CN) владельца целиком или часть строки владельца\n"
    "  --attached    прикреплённая подпись (содержимое файла внутри подписи)\n"
    "  --cades       подписанные атрибуты CAdES-BES: тип содержимого, хеш, время подписи\n"
    "                и сертификат подписанта (без флажка подпись покрывает только хеш)\n"
    "  --base64      записать ФАЙЛ.p7s в Base64 вместо ФАЙЛ.sig\n"
    "  --7z          упаковать ФАЙЛ и подпись в архив ПОДПИСЬ.7z (BZip2, уровень 5) через 7z.so,\n"
    "                как флажок «Упаковать файлы 7zip»; существующий архив заменяется\n"
    "Пароль зашифрованного закрытого ключа:\n";

int noKeyExit(std::uint32_t code, const PasswordInput& passwords, const KeyPasswordPrompt& prompt) {
    // What stopped the prompt (Ctrl-D, no terminal, a password file that cannot be read) says it
    // best, also after a wrong password.
    if (prompt.failure() != 0)
        return prompt.failure();
    if (passwords.wrongPasswordSeen() || code == winerr::ERROR_INVALID_PASSWORD)
        return kExitWrongPassword;
    if (code == winerr::ERROR_CANCELLED)
        return kExitCancelled;
    if (code == winerr::NTE_PROVIDER_DLL_FAIL)
        return kExitEngineMissing;
    return kExitNoKey;
}

} // namespace

int runSignCommand(const std::vector<std::string>& arguments) {
    if (HelpAsked(arguments, {"thumbprint", "subject", "password-file", "password-fd"})) {
        std::printf("%s%s%s\n%s", kSignHelp, kPasswordOptionsHelp, kThumbprintHelp,
                    ExitCodeHelp({kExitOk, kExitFailure, kExitUsage, kExitFileNotFound, kExitWrongPassword,
                                  kExitNotInStore, kExitEngineMissing, kExitCancelled, kExitNoKey,
                                  kExitSignFailed, kExitWriteFailed, kExitArchiveFailed})
                        .c_str());
        return kExitOk;
    }
    Arguments args(arguments, {"thumbprint", "subject", "password-file", "password-fd"},
                   {"attached", "base64", "7z", "cades"});
    const std::string file = args.single("подписываемый файл");
    const CertificateChoice choice = choiceFrom(args);
    PasswordInput passwords(args);
    requireGostEngine("sign");

    KeyPasswordPrompt prompt(passwords);
    CliInteraction interaction(prompt, choice);
    SignRequest request;
    request.inputPath = file;
    request.layout = args.has("attached") ? SignatureLayout::Attached : SignatureLayout::Detached;
    request.base64 = args.has("base64");
    request.pack = args.has("7z");
    if (args.has("cades"))
        request.attributes = crypto::SignedAttributes::CadesBes;
    const SignResult result = signFile(request, interaction);
    switch (result.outcome) {
    case SignOutcome::Signed:
        printLine(result.signaturePath);
        return kExitOk;
    case SignOutcome::NotPacked:
        try {
            std::rethrow_exception(result.packingError);
        } catch (const Error& error) {
            // The signature is written by now; its own code tells scripts so.
            throw CliError(kExitArchiveFailed, error.message() + notAFileLine(error, "\n"));
        }
        return kExitArchiveFailed;
    case SignOutcome::NoCertificate:
        if (interaction.choiceFailure())
            printError(interaction.choiceFailure()->what());
        return kExitNotInStore;
    case SignOutcome::NoKey: {
        const int code = noKeyExit(result.errorCode, passwords, prompt);
        if (code == kExitWrongPassword)
            printError("неверный пароль закрытого ключа");
        else if (prompt.failure() == 0 && !result.diagnostic.empty())
            printError(result.diagnostic); // a failed prompt has said why already
        return code;
    }
    case SignOutcome::Refused:
    case SignOutcome::Failed:
        if (!result.diagnostic.empty())
            printError(result.diagnostic);
        return kExitSignFailed;
    }
    return kExitFailure;
}

} // namespace plombar::cli

// plombar-cli sign FILE (--thumbprint T | --subject TEXT) [--attached] [--base64] [--7z]

#include "CliSupport.h"
#include "Commands.h"

#include "crypto/SignOperation.h"
#include "platform/Errors.h"
#include "platform/SystemErrors.h"
#include "sevenzip/PackSignedPair.h"

#include <cstdio>

namespace plombar::cli {

using namespace plombar::crypto;

namespace {

constexpr const char* kSignHelp =
    "plombar-cli sign ФАЙЛ (--thumbprint ОТПЕЧАТОК | --subject ИМЯ) [--attached] [--base64] [--7z]\n"
    "                 [--password-file ФАЙЛ | --password-fd N]\n"
    "Подписывает ФАЙЛ сертификатом из хранилища «MY» так же, как окно программы: рядом\n"
    "появляется ФАЙЛ.sig (подпись PKCS #7 в DER) или, с --base64, ФАЙЛ.p7s (её текст Base64);\n"
    "существующий файл подписи заменяется. Хеш выбирается по ключу сертификата\n"
    "(ГОСТ Р 34.11-94 для 34.10-2001, ГОСТ Р 34.11-2012 256/512 для 34.10-2012).\n"
    "Сообщения те же, что показывает окно; путь к подписи печатается последней строкой.\n"
    "  --thumbprint  отпечаток SHA-1 сертификата или его начало (от 4 цифр)\n"
    "  --subject     общее имя (CN) владельца целиком или часть строки владельца\n"
    "  --attached    прикреплённая подпись (содержимое файла внутри подписи)\n"
    "  --base64      записать ФАЙЛ.p7s в Base64 вместо ФАЙЛ.sig\n"
    "  --7z          упаковать ФАЙЛ и подпись в архив ПОДПИСЬ.7z (BZip2, уровень 5) через 7z.so,\n"
    "                как флажок «Упаковать файлы 7zip»; существующий архив заменяется\n"
    "Пароль зашифрованного закрытого ключа:\n";

// The window's part, played on the terminal: the certificate comes from the options, messages
// are printed, and no folder is opened.
class TerminalSignView : public SignView {
public:
    TerminalSignView(const CertificateChoice& choice, bool base64, bool pack)
        : choice_(choice), base64_(base64), pack_(pack) {}

    PCCERT_CONTEXT SelectCertificate(HCERTSTORE store, const std::string&) override {
        try {
            return findCertificate(store, choice_).release();
        } catch (const CliError& error) {
            notFound_ = error.what();
            return nullptr;
        }
    }
    void ShowMessage(const std::string& text) override { printLine(text); }
    bool Base64Checked() override { return base64_; }
    void SignatureSaved(const std::string& inputPath, const std::string& signaturePath) override {
        if (!pack_)
            return;
        std::string archive;
        try {
            archive = sevenzip::packSignedPair(inputPath, signaturePath, archiveWriter_);
        } catch (const Error& error) {
            // The signature is written by now; its own code tells scripts so.
            throw CliError(kExitArchiveFailed, error.message() + notAFileLine(error, "\n"));
        }
        printLine(sevenzip::archiveCreatedMessage(archive));
    }
    void ClearSelection() override {}
    void OpenFolder(const std::string&) override {}

    const std::string& notFound() const { return notFound_; }

private:
    CertificateChoice choice_;
    bool base64_;
    bool pack_;
    std::string notFound_;
    // Held until the command ends, as the window holds it until its handler ends.
    sevenzip::ComPtr<sevenzip::ArchiveWriter> archiveWriter_;
};

int noKeyExit(std::uint32_t code, const PasswordInput& passwords) {
    // What stopped the prompt (Ctrl-D, no terminal, a password file that cannot be read) says it
    // best, also after a wrong password.
    if (passwords.promptFailure() != 0)
        return passwords.promptFailure();
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
                   {"attached", "base64", "7z"});
    const std::string file = args.single("подписываемый файл");
    const CertificateChoice choice = choiceFrom(args);
    PasswordInput passwords(args);
    requireGostEngine("sign");

    auto prompt = passwords.installKeyPrompt();
    TerminalSignView view(choice, args.has("base64"), args.has("7z"));
    const SignResult result = SignFile(file, !args.has("attached"), view);
    switch (result.outcome) {
    case SignOutcome::Success:
        printLine(result.signaturePath);
        return kExitOk;
    case SignOutcome::NoCertificate:
        printError(view.notFound());
        return kExitNotInStore;
    case SignOutcome::NoKey: {
        const int code = noKeyExit(result.errorCode, passwords);
        if (code == kExitWrongPassword)
            printError("неверный пароль закрытого ключа");
        else if (passwords.promptFailure() == 0 && !result.diagnostic.empty())
            printError(result.diagnostic); // a failed prompt has said why already
        return code;
    }
    case SignOutcome::FirstCallFailed:
    case SignOutcome::SecondCallFailed:
        if (!result.diagnostic.empty())
            printError(result.diagnostic);
        return kExitSignFailed;
    }
    return kExitFailure;
}

} // namespace plombar::cli

// plombar-cli encrypt FILE (--thumbprint T | --subject TEXT | --cert FILE.cer)

#include "CliSupport.h"
#include "Commands.h"

#include "crypto/CryptoApi.h"
#include "crypto/EncryptOperation.h"
#include "platform/Errors.h"

#include <cstdio>

namespace plombar::cli {

using namespace plombar::crypto;

namespace {

// The encryption calls failed (an RSA or EC certificate, a damaged key, ...).
constexpr int kExitEncryptFailed = 13;

constexpr const char* kEncryptHelp =
    "plombar-cli encrypt ФАЙЛ (--thumbprint ОТПЕЧАТОК | --subject ИМЯ | --cert ФАЙЛ.cer)\n"
    "Шифрует ФАЙЛ для получателя так же, как страница «Шифрование» окна: рядом появляется\n"
    "ФАЙЛ.enc (сообщение PKCS #7 enveloped-data в DER, ГОСТ 28147-89 с передачей ключа\n"
    "по ГОСТ Р 34.10 на сертификат получателя); существующий файл заменяется.\n"
    "Сертификат получателя берётся из хранилища «MY» (закрытый ключ не нужен) или из файла\n"
    "с одним сертификатом в DER. Сообщения те же, что показывает окно; путь к ФАЙЛ.enc\n"
    "печатается последней строкой.\n"
    "  --thumbprint  отпечаток SHA-1 сертификата в хранилище или его начало (от 4 цифр)\n"
    "  --subject     общее имя (CN) владельца целиком или часть строки владельца\n"
    "  --cert        файл сертификата получателя (DER, .cer)\n";

// The window's part, played on the terminal: the certificate comes from the options, messages are
// printed, and no folder is opened.
class TerminalEncryptView : public EncryptView {
public:
    explicit TerminalEncryptView(const CertificateChoice& choice) : choice_(choice) {}

    PCCERT_CONTEXT SelectCertificate(HCERTSTORE store, const std::string&) override {
        try {
            return findCertificate(store, choice_).release();
        } catch (const CliError& error) {
            notFound_ = error.what();
            return nullptr;
        }
    }
    void ShowMessage(const std::string& text) override { printLine(text); }
    void ClearInputSlot() override {}
    void ResetPage() noexcept override {}
    void OpenFolder(const std::string&) override {}
    void ClearSlots() override {}

    const std::string& notFound() const { return notFound_; }

private:
    CertificateChoice choice_;
    std::string notFound_;
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

    TerminalEncryptView view(choice);
    EncryptResult result;
    try {
        result = EncryptFile(request, view);
    } catch (const SystemError& error) {
        // The OS error of a failed call says little on its own; the diagnostic says why.
        printError(error.message());
        if (!LastCryptoDiagnostic().empty())
            printError(LastCryptoDiagnostic());
        return kExitEncryptFailed;
    }
    if (result.outcome == EncryptOutcome::Success) {
        printLine(result.outputPath);
        return kExitOk;
    }
    if (request.certificateFromFile) {
        printError("«" + request.certificatePath + "» не содержит сертификата в DER");
        return kExitNotACertificate;
    }
    printError(view.notFound());
    return kExitNotInStore;
}

} // namespace plombar::cli

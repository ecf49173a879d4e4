// plombar-cli verify DATA SIGNATURE [--certificate]

#include "CliSupport.h"
#include "Commands.h"

#include "CliInteraction.h"

#include "operations/VerifyFlow.h"
#include "platform/Errors.h"
#include "platform/Paths.h"

#include <cstdio>
#include <exception>

namespace plombar::cli {

namespace {

// Exit codes of this command, as `cmp` and `diff` have them: the answer in 0/1, trouble in 2.
constexpr int kExitVerified = 0;
constexpr int kExitNotVerified = 1;
constexpr int kExitError = 2;

constexpr const char* kVerifyHelp =
    "plombar-cli verify ДАННЫЕ ПОДПИСЬ [--certificate]\n"
    "Проверяет отсоединённую подпись ПОДПИСЬ над файлом ДАННЫЕ так же, как страница\n"
    "«Верификация» окна, и печатает те же строки отчёта. Подпись — DER (.sig) или её текст\n"
    "Base64 (.p7s): текст узнаётся по «MI» в первой строке файла. Проверяется только\n"
    "математика подписи с сертификатом из самой подписи: без цепочки, доверия и отзыва;\n"
    "срок действия сертификата показывается строкой отчёта. Размер файлов не ограничен:\n"
    "каждый читается один раз и целиком в памяти не держится.\n"
    "  ДАННЫЕ         подписанный файл\n"
    "  ПОДПИСЬ        файл отсоединённой подписи\n"
    "  --certificate  напечатать сертификат подписанта (то, что окно показывает в диалоге)\n"
    "                 перед второй строкой отчёта, с отступом\n"
    "Коды выхода:\n"
    "  0  подпись математически верна\n"
    "  1  подпись не верна (повреждена, не подпись, данные изменены, нет сертификата\n"
    "     подписанта в подписи)\n"
    "  2  ошибка: неверные параметры, файл не открывается, нет модуля ГОСТ для OpenSSL\n"
    "     (текст ошибки — в stderr, отчёт не печатается), или отчёт не дошёл до\n"
    "     стандартного вывода (например, диск заполнен)\n";

// The report goes to stdout, line by line.
class TerminalReport : public operations::VerifyReport {
public:
    void addLine(const std::string& line) override { printLine(line); }
};

int verify(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {}, {"certificate"});
    if (args.positional().size() != 2)
        throw CliError(kExitError, args.positional().size() < 2 ? "укажите подписанный файл и файл подписи"
                                                                : "лишние аргументы после файла подписи");
    const std::string& dataPath = args.positional()[0];
    const std::string& signaturePath = args.positional()[1];
    PasswordInput noPasswords(args); // a check needs none
    CliInteraction interaction(noPasswords, {}, args.has("certificate"));
    TerminalReport report;
    return operations::verifySignatureFile({dataPath, signaturePath}, interaction, report).verified
               ? kExitVerified
               : kExitNotVerified;
}

} // namespace

int runVerifyCommand(const std::vector<std::string>& arguments) {
    if (HelpAsked(arguments, {})) {
        std::printf("%s", kVerifyHelp);
        return kExitOk;
    }
    // Every error ends in code 2 here, whatever main() would make of it, so that 1 always means
    // "not verified". A report that did not reach stdout is such an error.
    try {
        const int code = verify(arguments);
        return ReportStandardOutputFailure() ? kExitError : code;
    } catch (const CliError& error) {
        printError(error.what());
    } catch (const Error& error) {
        printError(errorReportText(error.message()) + notAFileLine(error, "\n"));
    } catch (const std::exception& error) {
        printError(error.what());
    }
    return kExitError;
}

} // namespace plombar::cli

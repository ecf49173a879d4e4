// plombar-cli verify [DATA] SIGNATURE [--certificate] [--extract FILE] [--offline]

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
    "plombar-cli verify ДАННЫЕ ПОДПИСЬ [--certificate] [--offline]\n"
    "plombar-cli verify ПОДПИСЬ [--extract ФАЙЛ] [--certificate] [--offline]\n"
    "Проверяет подпись ПОДПИСЬ каждого подписанта так же, как страница «Верификация» окна, и\n"
    "печатает те же строки отчёта. С файлом ДАННЫЕ проверяется подпись над ним (отсоединённая\n"
    "или прикреплённая); без него — прикреплённая подпись над содержимым внутри неё.\n"
    "Подпись — DER, её текст Base64 (с пустыми строками или без) или PEM\n"
    "(«-----BEGIN PKCS7-----», «-----BEGIN CMS-----»). Сертификат подписанта, которого нет в\n"
    "подписи, ищется в хранилищах «MY», «CA» и «Root». Размер файлов не ограничен: каждый\n"
    "читается один раз и целиком в памяти не держится.\n"
    "  ДАННЫЕ         подписанный файл (для отсоединённой подписи обязателен)\n"
    "  ПОДПИСЬ        файл подписи\n"
    "  --certificate  напечатать сертификат подписанта (то, что окно показывает в диалоге)\n"
    "                 перед второй строкой отчёта о нём, с отступом\n"
    "  --extract      без ДАННЫХ: записать подписанное содержимое в ФАЙЛ (только если все\n"
    "                 подписи верны; существующий файл заменяется)\n"
    "  --offline      проверять отзыв только по спискам отзыва из кэша, ничего не загружая\n"
    "Отчёт: при нескольких подписантах строки каждого идут после «Подпись N из M». После строк\n"
    "верной подписи — цепочка сертификатов до доверенного корневого из хранилища «Root»\n"
    "(промежуточные — из подписи и хранилища «CA»), статус отзыва по спискам отзыва из\n"
    "сертификатов (загрузка по HTTP, кэш в $XDG_CACHE_HOME/plombar/crl) и время подписи, если\n"
    "оно подписано. Эти строки справочные: на код выхода они не влияют.\n"
    "Коды выхода:\n"
    "  0  подпись математически верна (у каждого подписанта)\n"
    "  1  подпись не верна хотя бы у одного подписанта (повреждена, не подпись, данные\n"
    "     изменены, нет сертификата подписанта ни в подписи, ни в хранилищах)\n"
    "  2  ошибка: неверные параметры, файл не открывается, отсоединённая подпись без\n"
    "     ДАННЫХ, нет модуля ГОСТ для OpenSSL (текст ошибки — в stderr, отчёт не печатается),\n"
    "     или отчёт не дошёл до стандартного вывода (например, диск заполнен)\n";

// The report goes to stdout, line by line.
class TerminalReport : public operations::VerifyReport {
public:
    void addLine(const std::string& line) override { printLine(line); }
};

int verify(const std::vector<std::string>& arguments) {
    Arguments args(arguments, {"extract"}, {"certificate", "offline"});
    const std::size_t count = args.positional().size();
    if (count == 0 || count > 2)
        throw CliError(kExitError,
                       count == 0 ? "укажите файл подписи" : "лишние аргументы после файла подписи");
    operations::VerifyRequest request;
    request.dataPath = count == 2 ? args.positional()[0] : std::string();
    request.signaturePath = args.positional()[count - 1];
    request.extractPath = args.value("extract").value_or("");
    if (count == 2 && args.value("extract"))
        throw CliError(kExitError, "--extract — только для проверки без файла данных");
    if (args.value("extract") && request.extractPath.empty())
        throw CliError(kExitError, "--extract: укажите файл");
    request.checkTrust = true;
    request.offline = args.has("offline");
    PasswordInput noPasswords(args); // a check needs none
    CliInteraction interaction(noPasswords, {}, args.has("certificate"));
    TerminalReport report;
    return operations::verifySignatureFile(request, interaction, report).verified ? kExitVerified
                                                                                  : kExitNotVerified;
}

} // namespace

int runVerifyCommand(const std::vector<std::string>& arguments) {
    if (HelpAsked(arguments, {"extract"})) {
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

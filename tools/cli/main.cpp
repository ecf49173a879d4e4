// plombar-cli: the signing, store and (later) verification, encryption and decryption of
// Plombar from the command line, with the same files and messages as the window.

#include "CliSupport.h"
#include "Commands.h"

#include "crypto/GostRuntime.h"
#include "platform/Errors.h"
#include "platform/FileSize.h"
#include "platform/ProcessLimits.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace plombar::cli {

const CommandGroup kCommandGroups[] = {
    {"store", runStoreCommand,
     "личное хранилище сертификатов «MY»: list, show, import, export, remove, new-test-cert"},
    {"sign", runSignCommand, "подписать файл: ФАЙЛ.sig (DER) или ФАЙЛ.p7s (Base64)"},
    {"verify", runVerifyCommand, "проверить отсоединённую подпись: ДАННЫЕ ПОДПИСЬ, отчёт как в окне"},
    {"encrypt", runEncryptCommand, "зашифровать файл для получателя: ФАЙЛ.enc"},
    {"decrypt", runDecryptCommand, "расшифровать ФАЙЛ.enc ключом из хранилища «MY»"},
};
const std::size_t kCommandGroupCount = std::size(kCommandGroups);

namespace {

void printOverview() {
    std::printf("plombar-cli КОМАНДА ...\n"
                "plombar-cli --help | --version\n"
                "Подпись, проверка, шифрование и расшифровка файлов по ГОСТ (PKCS #7 / CMS) без окна,\n"
                "с теми же файлами и сообщениями, что у программы plombar.\n\nКоманды:\n");
    for (std::size_t i = 0; i < kCommandGroupCount; ++i)
        std::printf("  %-8s %s\n", kCommandGroups[i].name, kCommandGroups[i].summary);
    std::printf("\nПодробнее, с параметрами и кодами завершения: plombar-cli КОМАНДА --help\n");
}

int run(int argc, char** argv) {
    if (argc < 2) {
        printOverview();
        return kExitUsage;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        printOverview();
        return kExitOk;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("plombar-cli %s\n", PLOMBAR_VERSION);
        return kExitOk;
    }
    const std::vector<std::string> rest(argv + 2, argv + argc);
    for (std::size_t i = 0; i < kCommandGroupCount; ++i)
        if (std::strcmp(argv[1], kCommandGroups[i].name) == 0)
            return kCommandGroups[i].run(rest);
    printError(std::string("неизвестная команда «") + argv[1] + "»");
    printOverview();
    return kExitUsage;
}

// The command, with every error it raises turned into its message on stderr and its exit code.
int runGuarded(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const CliError& error) {
        printError(error.what());
        return error.code();
    } catch (const plombar::FileOpenError& error) {
        printError(error.message() + notAFileLine(error, "\n"));
        return kExitFileNotFound;
    } catch (const plombar::FileChangedError& error) {
        printError(error.message());
        return kExitFileNotFound;
    } catch (const plombar::FileCreateError& error) {
        printError(error.message() + notAFileLine(error, "\n"));
        return kExitWriteFailed;
    } catch (const plombar::crypto::CryptoError& error) {
        printError(error.message());
        return exitCodeFor(error);
    } catch (const plombar::Error& error) {
        printError(error.message());
        return kExitFailure;
    } catch (const std::exception& error) {
        printError(error.what());
        return kExitFailure;
    }
}

} // namespace
} // namespace plombar::cli

int main(int argc, char** argv) {
    using namespace plombar::cli;
    // Before any key or password is in memory: no core dump is ever written of it.
    plombar::disableCoreDumps();
    ReserveStandardDescriptors();
    plombar::ignoreFileSizeSignal();
    int code = kExitFailure;
    {
        // Loaded before anything else; every certificate and key is released before it goes.
        plombar::crypto::GostRuntime gost;
        if (!gost.Ready())
            printError(gost.ErrorText());
        code = runGuarded(argc, argv);
    }
    // A result path or report that did not reach stdout is no success.
    if (ReportStandardOutputFailure() && code == kExitOk)
        code = kExitFailure;
    return code;
}

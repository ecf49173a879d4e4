#include "CryptoStartup.h"
#include "MainWindow.h"
#include "QtPrompts.h"
#include "Startup.h"
#include "crypto/GostRuntime.h"
#include "platform/FileSize.h"
#include "platform/ProcessLimits.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[]) {
    // Before any key or password is in memory: no core dump is ever written of it.
    plombar::disableCoreDumps();
    // Before anything can make OpenSSL allocate: every block it frees is wiped.
    plombar::crypto::WipeOpenSslMemoryOnFree();
    // Qt takes its own options (-platform, -style ...); what is left may name a file to open.
    QApplication application(argc, argv);
    plombar::app::installQtTranslations();
    plombar::ignoreFileSizeSignal();

    // OpenSSL with the GOST engine for the whole run. Declared before the window so that it goes
    // after it: every certificate and key is released before the engine, and the engine
    // before OpenSSL's own clean-up after main() returns.
    plombar::crypto::GostRuntime gost;

    plombar::app::QtPrompts prompts(plombar::app::executableTitle());
    plombar::app::MainWindow window(prompts);
    prompts.setParentWidget(&window);
    window.show();
    // Without the engine the program still starts, and says so over the window as soon as it shows.
    if (!gost.Ready())
        QTimer::singleShot(0, &window, [&prompts] { plombar::app::reportGostRuntimeAtStart(prompts); });
    // A file given at start ("Open with" in a file manager) is taken once the window shows.
    if (const std::string file = plombar::app::fileFromArguments(QApplication::arguments()); !file.empty())
        QTimer::singleShot(0, &window, [&window, file] { window.openGivenFile(file); });
    return QApplication::exec();
}

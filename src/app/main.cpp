#include "QtPrompts.h"
#include "Startup.h"
#include "Unit1.h"
#include "platform/FileSize.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    // Qt takes its own options (-platform, -style ...); the program reads no other argument.
    QApplication application(argc, argv);
    plombar::app::installQtTranslations();
    plombar::IgnoreFileSizeSignal();

    // Start-up of the GOST cryptography runtime (OpenSSL + GOST engine) goes here.

    plombar::app::QtPrompts prompts(plombar::app::executableTitle());
    plombar::app::TForm1 Form1(prompts);
    prompts.setParentWidget(&Form1);
    Form1.show();
    return QApplication::exec();
}

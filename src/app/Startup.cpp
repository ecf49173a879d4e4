#include "Startup.h"

#include "platform/Paths.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QUrl>

namespace plombar::app {

std::string executableTitle() {
    return applicationTitle(QCoreApplication::applicationFilePath().toStdString());
}

std::string fileFromArguments(const QStringList& arguments) {
    if (arguments.size() < 2 || arguments.at(1).isEmpty())
        return {};
    const QString given = arguments.at(1);
    const QUrl url(given);
    const QString path = given.startsWith(QLatin1String("file:"), Qt::CaseInsensitive) && url.isLocalFile()
                             ? url.toLocalFile()
                             : given;
    return QFileInfo(path).absoluteFilePath().toStdString();
}

bool installQtTranslations() {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                          QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

} // namespace plombar::app

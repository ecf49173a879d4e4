#include "GuiTest.h"

#include "MainWindow.h"
#include "platform/Errors.h"
#include "platform/UniqueFd.h"

#include <QAbstractButton>
#include <QByteArray>
#include <QCheckBox>
#include <QFile>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plombar::app::test {

bool dropRootRights() {
    if (::geteuid() != 0)
        return true;
    const passwd* nobody = ::getpwnam("nobody");
    const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
    const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
        return false;
    // A process that changed its user is not dumpable, and LeakSanitizer then cannot inspect its threads.
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    return true;
}

int pageOf(const MainWindow& window, const QWidget* control) {
    for (int i = 0; i < window.pages->count(); ++i) {
        const QWidget* page = window.pages->widget(i);
        if (page == control || page->isAncestorOf(control))
            return i;
    }
    return -1;
}

bool clickEnabled(MainWindow& window, QAbstractButton* control) {
    const int page = pageOf(window, control);
    if (page < 0)
        return false;
    window.pages->setCurrentIndex(page);
    if (!control->isVisible() || !control->isEnabled())
        return false;
    QPoint where = control->rect().center();
    if (auto* box = qobject_cast<QCheckBox*>(control)) {
        QStyleOptionButton option;
        option.initFrom(box);
        where = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box).center();
    }
    QTest::mouseClick(control, Qt::LeftButton, Qt::NoModifier, where);
    return true;
}

void makeSparseFile(const std::string& path, std::uint64_t size) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0)
        throw Error("cannot make the sparse file " + path);
}

void makeReadOnly(const std::string& path) {
    if (::chmod(path.c_str(), 0444) != 0)
        throw Error("cannot make " + path + " read-only");
}

void useOffscreenWhenHeadless() {
    const auto unset = [](const char* name) {
        const char* value = std::getenv(name);
        return value == nullptr || *value == '\0';
    };
    if (unset("QT_QPA_PLATFORM") && unset("DISPLAY") && unset("WAYLAND_DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

void useOffscreenScreen(int width, int height, double scale) {
    useOffscreenWhenHeadless();
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform != "offscreen" && !platform.startsWith("offscreen:"))
        return;
    // Read when QApplication starts: lives as long as the process.
    static QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("screen.json"));
    QFile file(config);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly))
        throw Error("cannot write the offscreen screen configuration");
    file.write(QStringLiteral(R"({"screens": [{"name": "test", "x": 0, "y": 0, "width": %1, "height": %2}]})")
                   .arg(width)
                   .arg(height)
                   .toUtf8());
    file.close();
    ::setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config.toLocal8Bit()).constData(), 1);
    ::setenv("QT_SCALE_FACTOR", QByteArray::number(scale).constData(), 1);
}

} // namespace plombar::app::test

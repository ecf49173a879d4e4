#include "PageWidgets.h"

#include "Dispatch.h"
#include "platform/DisplayText.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QUrl>

#include <algorithm>
#include <utility>

namespace plombar::app {

namespace {

constexpr int kMinButtonWidth = 90;

// Enter or Return presses the button that has the focus, as Space does: the window is no dialog, so
// its buttons have no default button to fall back on.
class EnterPressesButton : public QObject {
public:
    explicit EnterPressesButton(QAbstractButton* button) : QObject(button), button_(button) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != button_ || event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) || modifiers != Qt::NoModifier)
            return false;
        if (button_->isEnabled() && !key->isAutoRepeat())
            button_->click();
        return true;
    }

private:
    QAbstractButton* button_;
};

// The local files a drag carries, or nothing when it carries anything else or too many.
std::vector<std::string> droppedFiles(const QMimeData* data, int maxFiles) {
    if (data == nullptr || !data->hasUrls())
        return {};
    const QList<QUrl> urls = data->urls();
    if (urls.isEmpty() || urls.size() > maxFiles)
        return {};
    std::vector<std::string> paths;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile() || url.toLocalFile().isEmpty())
            return {};
        paths.push_back(url.toLocalFile().toStdString());
    }
    return paths;
}

class FileDrops : public QObject {
public:
    FileDrops(QWidget* page, Prompts& prompts, int maxFiles,
              std::function<void(const std::vector<std::string>&)> handler)
        : QObject(page), page_(page), prompts_(prompts), maxFiles_(maxFiles), handler_(std::move(handler)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != page_)
            return false;
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (droppedFiles(drag->mimeData(), maxFiles_).empty()) {
                drag->ignore();
            } else {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            }
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const std::vector<std::string> paths = droppedFiles(drop->mimeData(), maxFiles_);
            if (paths.empty()) {
                drop->ignore();
                return true;
            }
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            runGuarded(prompts_, [this, &paths] { handler_(paths); });
            return true;
        }
        default:
            return false;
        }
    }

private:
    QWidget* page_;
    Prompts& prompts_;
    int maxFiles_;
    std::function<void(const std::vector<std::string>&)> handler_;
};

} // namespace

PathLabel::PathLabel(QWidget* parent) : QLabel(parent) {
    // A path is text, never markup: a file named "<b>x" must show as it is.
    setTextFormat(Qt::PlainText);
    // Clicked, it takes the focus (Tab passes it by), so that Ctrl+C copies the path.
    setFocusPolicy(Qt::ClickFocus);
}

namespace {

QString displayedPath(const QString& path) {
    return QString::fromStdString(escapeForDisplay(path.toStdString()));
}

} // namespace

// The folders are cut in the middle so that the file's name stays whole; only a name too long for
// the room by itself is cut too.
QString PathLabel::shownText() const {
    const QString full = displayedPath(text());
    const QFontMetrics metrics = fontMetrics();
    const int width = room();
    if (metrics.horizontalAdvance(full) <= width)
        return full;
    const qsizetype slash = full.lastIndexOf(QLatin1Char('/'));
    if (slash > 0) {
        const QString name = full.mid(slash);
        const int left = width - metrics.horizontalAdvance(name);
        if (left > metrics.horizontalAdvance(QStringLiteral("/…")))
            return metrics.elidedText(full.left(slash), Qt::ElideMiddle, left) + name;
    }
    return metrics.elidedText(full, Qt::ElideMiddle, width);
}

QSize PathLabel::sizeHint() const {
    const QMargins margins = contentsMargins();
    return {fontMetrics().horizontalAdvance(displayedPath(text())) + margins.left() + margins.right(),
            fontMetrics().height() + margins.top() + margins.bottom()};
}

QSize PathLabel::minimumSizeHint() const {
    return sizeHint();
}

void PathLabel::copyPath() const {
    QApplication::clipboard()->setText(text());
}

// From the label's left edge to the page's right margin (the label itself is as wide as the path).
int PathLabel::room() const {
    const QWidget* page = parentWidget();
    const int width = page != nullptr ? page->width() - kPageMargin - x() - contentsMargins().left()
                                      : contentsRect().width();
    return std::max(0, width);
}

void PathLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect();
    style()->drawItemText(&painter, QRect(area.topLeft(), QSize(room(), area.height())),
                          Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(), shownText(),
                          foregroundRole());
}

void PathLabel::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copyPath();
        event->accept();
        return;
    }
    QLabel::keyPressEvent(event);
}

void PathLabel::contextMenuEvent(QContextMenuEvent* event) {
    if (text().isEmpty())
        return;
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("pathMenu"));
    menu.addAction(QStringLiteral("Копировать путь"), this, &PathLabel::copyPath);
    menu.exec(event->globalPos());
}

QPushButton* makeButton(QWidget* page, const char* name, const QString& caption, bool enabled) {
    auto* button = new QPushButton(caption, page);
    button->setObjectName(QString::fromLatin1(name));
    button->setEnabled(enabled);
    button->setAutoDefault(false);
    button->installEventFilter(new EnterPressesButton(button));
    return button;
}

QCheckBox* makeCheckBox(QWidget* page, const char* name, const QString& caption) {
    auto* box = new QCheckBox(caption, page);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QLabel* makePathLabel(QWidget* page, const char* name) {
    auto* label = new PathLabel(page);
    label->setObjectName(QString::fromLatin1(name));
    label->adjustSize();
    return label;
}

QSize buttonSize(const QPushButton* button) {
    const QSize hint = button->sizeHint();
    return {std::max(hint.width(), kMinButtonWidth), hint.height()};
}

int rowHeight(std::initializer_list<const QWidget*> widgets) {
    int height = 0;
    for (const QWidget* w : widgets)
        height = std::max(height, w->sizeHint().height());
    return height;
}

int lineHeight(const QLabel* label) {
    return label->fontMetrics().height();
}

void setLabelText(QLabel* label, const std::string& text) {
    label->setText(QString::fromStdString(text));
    // The whole path, as plain text with its special characters written out.
    const QString shown = displayedPath(label->text());
    label->setToolTip(shown.isEmpty()
                          ? QString()
                          : QStringLiteral("<p style='white-space:pre'>%1</p>").arg(shown.toHtmlEscaped()));
    label->adjustSize();
    label->repaint();
}

void acceptFileDrops(QWidget* page, Prompts& prompts, int maxFiles,
                     std::function<void(const std::vector<std::string>&)> handler) {
    page->setAcceptDrops(true);
    page->installEventFilter(new FileDrops(page, prompts, maxFiles, std::move(handler)));
}

bool hasExtension(const std::string& path, const char* extension) {
    return QString::fromStdString(path).endsWith(QLatin1String(extension), Qt::CaseInsensitive);
}

void connectGuarded(QAbstractButton* button, Prompts& prompts, std::function<void()> handler) {
    QObject::connect(button, &QAbstractButton::clicked, button,
                     [&prompts, handler = std::move(handler)] { runGuarded(prompts, handler); });
}

} // namespace plombar::app

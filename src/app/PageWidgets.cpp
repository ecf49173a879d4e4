#include "PageWidgets.h"

#include "Dispatch.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <utility>

namespace plombar::app {

namespace {
constexpr int kMinButtonWidth = 90;
} // namespace

QPushButton* makeButton(QWidget* page, const char* name, const QString& caption, bool enabled) {
    auto* button = new QPushButton(caption, page);
    button->setObjectName(QString::fromLatin1(name));
    button->setEnabled(enabled);
    button->setAutoDefault(false);
    return button;
}

QCheckBox* makeCheckBox(QWidget* page, const char* name, const QString& caption) {
    auto* box = new QCheckBox(caption, page);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QLabel* makePathLabel(QWidget* page, const char* name) {
    auto* label = new QLabel(page);
    label->setObjectName(QString::fromLatin1(name));
    // A path is text, never markup: a file named "<b>x" must show as it is.
    label->setTextFormat(Qt::PlainText);
    // A long path runs past the page's edge; it can still be selected and copied.
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
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
    label->adjustSize();
    label->repaint();
}

void connectGuarded(QAbstractButton* button, Prompts& prompts, std::function<void()> handler) {
    QObject::connect(button, &QAbstractButton::clicked, button,
                     [&prompts, handler = std::move(handler)] { runGuarded(prompts, handler); });
}

} // namespace plombar::app

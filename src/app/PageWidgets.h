#pragma once

// What the four pages share: how their controls are made and placed, how a path is shown, and how a
// control reaches its handler.

#include <QLabel>
#include <QSize>
#include <QString>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

class QAbstractButton;
class QCheckBox;
class QPushButton;
class QWidget;

namespace plombar::app {

class Prompts;

inline constexpr int kPageMargin = 16;  // from the page's edges
inline constexpr int kControlGap = 12;  // between controls side by side or rows
inline constexpr int kPathLabelGap = 6; // between a button and the path shown under it

// A label that shows a path on one line. text() is the whole path as chosen. What is drawn is that
// path with its control and direction characters written out (escapeForDisplay) and, where it does
// not fit between the label's left edge and its page's right margin, cut in the middle with "…", so
// the file's name stays visible. The tooltip shows the whole path, and copying (Ctrl+C or the context
// menu's "Копировать путь") puts the whole path, unchanged, on the clipboard. setLabelText sets
// text and tooltip.
class PathLabel : public QLabel {
    Q_OBJECT

public:
    explicit PathLabel(QWidget* parent = nullptr);

    // The text as drawn now.
    QString shownText() const;
    // One line, as wide as the whole path with its special characters written out.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // Puts text() on the clipboard.
    void copyPath() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    int room() const;
};

QPushButton* makeButton(QWidget* page, const char* name, const QString& caption, bool enabled);
QCheckBox* makeCheckBox(QWidget* page, const char* name, const QString& caption);
// An empty PathLabel, as wide as its text.
QLabel* makePathLabel(QWidget* page, const char* name);

// A button's size: its size hint, at least 90 pixels wide.
QSize buttonSize(const QPushButton* button);
// The tallest size hint among `widgets`.
int rowHeight(std::initializer_list<const QWidget*> widgets);
// The height of one line of the label's text.
int lineHeight(const QLabel* label);

// Sets a path label's text (plain text, never markup) and tooltip, fits the label to it and redraws
// it at once.
void setLabelText(QLabel* label, const std::string& text);

// Lets files be dropped on `page`: local files only, at most `maxFiles` of them at once (a drag of
// anything else is refused). `handler` gets their paths (UTF-8), in the drag's order, through
// runGuarded, as a click's handler would.
void acceptFileDrops(QWidget* page, Prompts& prompts, int maxFiles,
                     std::function<void(const std::vector<std::string>&)> handler);

// True when `path` ends in `extension` (".sig"), whatever the case of its letters.
bool hasExtension(const std::string& path, const char* extension);

// Runs `handler` on every click of `button` through runGuarded (Dispatch.h): under the wait cursor,
// with any exception shown in the error report of `prompts`.
void connectGuarded(QAbstractButton* button, Prompts& prompts, std::function<void()> handler);

} // namespace plombar::app

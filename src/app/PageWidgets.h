#pragma once

// What the four pages share: how their controls are made and placed, how a path is shown, and how a
// control reaches its handler.

#include <QSize>
#include <QString>

#include <functional>
#include <initializer_list>
#include <string>

class QAbstractButton;
class QCheckBox;
class QLabel;
class QPushButton;
class QWidget;

namespace plombar::app {

class Prompts;

inline constexpr int kPageMargin = 16;  // from the page's edges
inline constexpr int kControlGap = 12;  // between controls side by side or rows
inline constexpr int kPathLabelGap = 6; // between a button and the path shown under it

QPushButton* makeButton(QWidget* page, const char* name, const QString& caption, bool enabled);
QCheckBox* makeCheckBox(QWidget* page, const char* name, const QString& caption);
// An empty label for a path: plain text, selectable, as wide as its text.
QLabel* makePathLabel(QWidget* page, const char* name);

// A button's size: its size hint, at least 90 pixels wide.
QSize buttonSize(const QPushButton* button);
// The tallest size hint among `widgets`.
int rowHeight(std::initializer_list<const QWidget*> widgets);
// The height of one line of the label's text.
int lineHeight(const QLabel* label);

// Sets a path label's text (plain text, never markup), fits the label to it and redraws it at once.
void setLabelText(QLabel* label, const std::string& text);

// Runs `handler` on every click of `button` through runGuarded (Dispatch.h): under the wait cursor,
// with any exception shown in the error report of `prompts`.
void connectGuarded(QAbstractButton* button, Prompts& prompts, std::function<void()> handler);

} // namespace plombar::app

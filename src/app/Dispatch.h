#pragma once

#include <QCursor>
#include <QList>

#include <functional>
#include <string>

namespace plombar::app {

class Prompts;

// Shows the wait cursor over the whole application while it lives. Nests.
class BusyCursor {
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// Lifts every wait cursor for as long as it lives and puts them back afterwards, so that the
// user sees a normal pointer over a dialog shown in the middle of a busy handler.
class BusyCursorPause {
public:
    BusyCursorPause();
    ~BusyCursorPause();
    BusyCursorPause(const BusyCursorPause&) = delete;
    BusyCursorPause& operator=(const BusyCursorPause&) = delete;

private:
    QList<QCursor> paused_; // innermost first
};

// The message that the application's error report shows for the exception being handled
// (call inside a catch block): the error's message for our errors and the standard ones,
// "Out of memory" for a failed allocation.
std::string currentExceptionMessage();

// Runs one event handler: under the wait cursor, and with every exception caught and shown in
// the application's error report (message, plus "." when its last byte sorts after "."), so
// that no exception ever unwinds into Qt's event loop and the window stays usable.
void runGuarded(Prompts& prompts, const std::function<void()>& handler) noexcept;

} // namespace plombar::app

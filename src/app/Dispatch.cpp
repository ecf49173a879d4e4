#include "Dispatch.h"

#include "Prompts.h"
#include "platform/Errors.h"
#include "platform/Paths.h"
#include "platform/Progress.h"

#include <QApplication>
#include <QCursor>
#include <QtGlobal>

#include <exception>
#include <new>

namespace plombar::app {

BusyCursor::BusyCursor() {
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

BusyCursor::~BusyCursor() {
    QApplication::restoreOverrideCursor();
}

BusyCursorPause::BusyCursorPause() {
    // Each level must be lifted; a nested handler may have set more than one.
    while (const QCursor* cursor = QApplication::overrideCursor()) {
        paused_.append(*cursor);
        QApplication::restoreOverrideCursor();
    }
}

BusyCursorPause::~BusyCursorPause() {
    for (auto it = paused_.crbegin(); it != paused_.crend(); ++it)
        QApplication::setOverrideCursor(*it);
}

std::string currentExceptionMessage() {
    try {
        throw;
    } catch (const Error& e) {
        return e.message();
    } catch (const std::bad_alloc&) {
        return "Out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

void runGuarded(Prompts& prompts, const std::function<void()>& handler) noexcept {
    std::string message;
    bool cancelled = false;
    try {
        // The cursor goes back to normal before the report shows.
        BusyCursor busy;
        handler();
        return;
    } catch (const CancelledError&) {
        // Not an error: the user stopped the run and is told so plainly.
        cancelled = true;
    } catch (...) {
        try {
            message = currentExceptionMessage();
        } catch (...) {
            message = "Out of memory";
        }
    }
    try {
        if (cancelled)
            prompts.showMessage(CancelledError().message());
        else
            prompts.showError(errorReportText(message));
    } catch (...) {
        // The report itself failed (no memory for a dialog): keep the event loop alive anyway.
        qCritical("%s", message.c_str());
    }
}

} // namespace plombar::app

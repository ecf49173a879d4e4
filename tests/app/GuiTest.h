#pragma once

// Helpers for GUI tests that drive the real MainWindow (see ScriptedPrompts.h for the prompts).

#include <cstdint>
#include <string>

class QAbstractButton;
class QWidget;

namespace plombar::app {
class MainWindow;
}

namespace plombar::app::test {

// The index of the page of `window` that holds `control`, or -1.
int pageOf(const MainWindow& window, const QWidget* control);

// Shows the page that holds `control` and clicks it with the mouse as a user would (a check box
// on its indicator, since a click beside its text does nothing). Returns false, without
// clicking, when the control is then not visible or not enabled: clicks on hidden pages or
// disabled buttons would otherwise prove nothing.
bool clickEnabled(MainWindow& window, QAbstractButton* control);

// Creates a file of `size` bytes that takes no disk space (its content reads as zeros).
void makeSparseFile(const std::string& path, std::uint64_t size);

// Makes a file read-only for everyone (mode 0444).
void makeReadOnly(const std::string& path);

// Under root, becomes the user "nobody" for the rest of the process, so that permission bits apply;
// false when that fails. Call first in main().
bool dropRootRights();

// Selects the offscreen platform when nothing names a platform or a display, so that a test
// started by hand outside ctest needs no X server. Call before QApplication is created.
void useOffscreenWhenHeadless();

// As useOffscreenWhenHeadless, and on the offscreen platform one screen of `width` x `height`
// device pixels, scaled by `scale` (QT_SCALE_FACTOR). The offscreen platform's own screen is
// 800 x 600, too small for the window's initial place. Call before QApplication is created.
void useOffscreenScreen(int width, int height, double scale = 1.0);

} // namespace plombar::app::test

#include "WindowPlacement.h"

#include <algorithm>

namespace plombar::app {

namespace {

// The start of a span of `length` that begins at `start`, moved into [low, low + room).
int fitSpan(int start, int length, int low, int room) {
    const int highest = low + std::max(0, room - length);
    return std::clamp(start, low, highest);
}

} // namespace

QPoint placeOnScreen(const QRect& frame, const QRect& available) {
    if (available.isEmpty())
        return frame.topLeft();
    return {fitSpan(frame.x(), frame.width(), available.x(), available.width()),
            fitSpan(frame.y(), frame.height(), available.y(), available.height())};
}

} // namespace plombar::app

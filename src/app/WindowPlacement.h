#pragma once

#include <QPoint>
#include <QRect>

namespace plombar::app {

// Where a window whose frame (title bar and borders included) is `frame` goes on a screen whose
// free area (without panels and docks) is `available`: where it is when it fits there whole, else
// moved the least distance that brings it whole onto that area. A window larger than the area keeps
// its top left corner (and with it the title bar and the close button) inside the area. Gives the new
// top left corner of the frame.
QPoint placeOnScreen(const QRect& frame, const QRect& available);

} // namespace plombar::app

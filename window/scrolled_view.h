#pragma once

#include <QRect>
#include <cstdint>
#include <string_view>

class QFrame;
class QLabel;

namespace velmora {

// Positions are laid out in twips; at 96 dpi 15 twips make one pixel, and Qt's high-DPI
// scaling carries that to other densities.
inline constexpr int kTwipsPerPixel = 15;

constexpr QRect TwipsRect(int left, int top, int width, int height) {
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                 height / kTwipsPerPixel);
}

// The picture's offset for a scroll value: value x (-15) twips. Worked out in 32 bits, so every
// value a scroll bar can hold scrolls (2185 and beyond included); raises ErrorKind::Overflow
// naming `what` only beyond that range.
std::int32_t ScrollOffsetTwips(int value, std::string_view what);

// Builds the inside of a framed picture box: an area that fills the frame's inner rectangle and
// clips to it, holding the image control at (0, 0). Returns the image control.
QLabel* CreateImageHolder(QFrame& pictureBox, QSize imageSize);

}  // namespace velmora

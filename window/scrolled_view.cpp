#include "window/scrolled_view.h"

#include <QFrame>
#include <QLabel>

#include "correction/checked_math.h"

namespace velmora {

std::int32_t ScrollOffsetTwips(int value, std::string_view what) {
    return CheckedMul(value, -kTwipsPerPixel, what);
}

QLabel* CreateImageHolder(QFrame& pictureBox, QSize imageSize) {
    // Child widgets draw over their parent's frame; an inner area of the frame's contents size
    // keeps the picture inside the border.
    auto* inner = new QWidget(&pictureBox);
    inner->setObjectName(pictureBox.objectName() + QStringLiteral("Inner"));
    inner->setGeometry(pictureBox.contentsRect());
    auto* image = new QLabel(inner);
    image->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    image->setGeometry(QRect(QPoint(0, 0), imageSize));
    return image;
}

}  // namespace velmora

#include "formposition.h"

namespace {

// Halves drop the remainder, so odd sizes put the extra pixel right and below.
int Centred(int start, int length, int placedLength, int lowest, int end)
{
    int position = start + length / 2 - placedLength / 2;
    if (position < lowest)
        position = lowest;
    if (position > end - placedLength)
        position = end - placedLength;
    return position;
}

} // namespace

QPoint FormPosition(const QRect &screen, const QRect &workArea, const QRect &reference, QSize size)
{
    QRect area = workArea.intersected(screen);
    if (area.isEmpty())
        area = screen;
    // QRect's right() and bottom() are the last pixel inside; the bounds here are one past it.
    return {Centred(reference.x(), reference.width(), size.width(), area.x(), area.x() + area.width()),
            Centred(reference.y(), reference.height(), size.height(), area.y(), area.y() + area.height())};
}

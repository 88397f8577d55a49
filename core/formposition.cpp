#include "formposition.h"

#include <algorithm>

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

ScreenRect Intersected(const ScreenRect &a, const ScreenRect &b)
{
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
}

} // namespace

ScreenRect WorkAreaBesideTaskbar(int screenWidth, int screenHeight, const std::optional<ScreenRect> &taskbar)
{
    ScreenRect area{0, 0, screenWidth, screenHeight};
    if (!taskbar)
        return area;
    if (taskbar->right > 0 && taskbar->right < screenWidth)
        area.left = taskbar->right; // on the left edge
    if (taskbar->bottom > 0 && taskbar->bottom < screenHeight)
        area.top = taskbar->bottom; // on the top edge
    if (taskbar->left > 0 && taskbar->left < screenWidth)
        area.right = taskbar->left; // on the right edge
    if (taskbar->top > 0 && taskbar->top < screenHeight)
        area.bottom = taskbar->top; // on the bottom edge
    return area;
}

ScreenPoint FormPosition(const ScreenRect &screen, const ScreenRect &workArea, const ScreenRect &reference, int width,
                         int height)
{
    ScreenRect area = Intersected(workArea, screen);
    if (area.Width() <= 0 || area.Height() <= 0)
        area = screen;
    return {Centred(reference.left, reference.Width(), width, area.left, area.right),
            Centred(reference.top, reference.Height(), height, area.top, area.bottom)};
}

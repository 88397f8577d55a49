#pragma once

#include <optional>

// A rectangle in screen coordinates; right and bottom lie one past its last pixel.
struct ScreenRect
{
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool operator==(const ScreenRect &) const = default;
};

struct ScreenPoint
{
    int x = 0;
    int y = 0;
    bool operator==(const ScreenPoint &) const = default;
};

// The part of a screen of that size that a taskbar which is always shown leaves
// free. `taskbar` is its rectangle, or nothing when it hides itself, is not always
// on top, or its position is unknown. Each edge test is made on its own.
ScreenRect WorkAreaBesideTaskbar(int screenWidth, int screenHeight, const std::optional<ScreenRect> &taskbar);

// Where a window of outer size `width` by `height` goes so that it sits over the
// middle of `reference` (an outer rectangle) while staying inside `workArea`.
// An empty work area, or one that does not meet the screen, means the whole screen.
// Each bound is applied on its own, the upper one last, so a window larger than
// the work area ends up against its right or bottom edge.
ScreenPoint FormPosition(const ScreenRect &screen, const ScreenRect &workArea, const ScreenRect &reference, int width,
                         int height);

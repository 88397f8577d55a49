#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Where a window of outer size `size` goes so that it sits over the middle of
// `reference` (an outer rectangle) while staying inside the work area: the part
// of `screen` that panels which are always shown leave free. An empty work area,
// or one that does not meet the screen, means the whole screen.
// Each bound is applied on its own, the upper one last, so a window larger than
// the work area ends up against its right or bottom edge.
QPoint FormPosition(const QRect &screen, const QRect &workArea, const QRect &reference, QSize size);

#pragma once

#include <QSize>

// Size of the main window on a screen whose available area is `available`: that area divided by
// 1.8 in each direction (truncated), kept within the form's minimum and maximum sizes.
QSize mainWindowSize(const QSize &available, const QSize &minimum, const QSize &maximum);

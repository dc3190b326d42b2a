#include "windowsize.h"

QSize mainWindowSize(const QSize &available, const QSize &minimum, const QSize &maximum)
{
    const int width = static_cast<int>(available.width() / 1.8);
    const int height = static_cast<int>(available.height() / 1.8);
    return QSize(width, height).boundedTo(maximum).expandedTo(minimum);
}

#include "display/ScreenFit.h"

void FitIntoArea(int* left, int* top, int width, int height, int areaLeft, int areaTop,
                 int areaRight, int areaBottom) {
    if (*left + width > areaRight)
        *left = areaRight - width;
    if (*top + height > areaBottom)
        *top = areaBottom - height;
    if (*left < areaLeft)
        *left = areaLeft;
    if (*top < areaTop)
        *top = areaTop;
}

// Where a window goes so that it lies inside the screen's work area.
#pragma once

// Moves the window rectangle (left, top, width, height) the least distance that puts it inside
// the area (right and bottom exclusive). A window larger than the area keeps its top left
// corner inside it, so its caption and close box stay reachable.
void FitIntoArea(int* left, int* top, int width, int height, int areaLeft, int areaTop,
                 int areaRight, int areaBottom);

#include "display/GraphRing.h"

#include <cstdlib>
#include <cstring>

void GraphRingClear(GraphRing* ring) {
    memset(ring, 0, sizeof *ring);
}

int GraphRingSetNumLines(GraphRing* ring, int numLines, int* firstCall) {
    *firstCall = 0;
    if (numLines < 0 || numLines > GRAPH_RING_LINES) {
        return 0;
    }
    if (!ring->BuffersReady) {
        float* buffers[GRAPH_RING_LINES] = {};
        for (int i = 0; i < GRAPH_RING_LINES; i++) {
            buffers[i] = static_cast<float*>(calloc(GRAPH_FIRST_BUFFER_SLOTS, sizeof(float)));
            if (buffers[i] == nullptr) {
                for (int k = 0; k < i; k++) {
                    free(buffers[k]);
                }
                return 0;
            }
        }
        for (int i = 0; i < GRAPH_RING_LINES; i++) {
            ring->LineVals[i] = buffers[i];
        }
        ring->NumSlots = 0;
        ring->BuffersReady = 1;
        ring->Paused = 0;
        *firstCall = 1;
    }
    ring->NumLines = numLines;
    ring->WriteIndex = 0;
    ring->NumPoints = 0;
    return 1;
}

int GraphRingSetLimits(GraphRing* ring, int line, float minimum, float maximum) {
    if (line < 0 || line >= GRAPH_RING_LINES) {
        return 0;
    }
    ring->LineMin[line] = minimum;
    ring->LineMax[line] = maximum;
    return 1;
}

void GraphRingReset(GraphRing* ring) {
    ring->WriteIndex = 0;
    ring->NumPoints = 0;
}

void GraphRingStore(GraphRing* ring, const float* values) {
    if (ring->Paused || !ring->BuffersReady) {
        return;
    }
    // Before the first size event NumSlots is 0 and every sample lands in slot 0.
    for (int i = 0; i < ring->NumLines; i++) {
        ring->LineVals[i][ring->WriteIndex] = values[i];
    }
    ring->WriteIndex++;
    if (ring->WriteIndex >= ring->NumSlots) {
        ring->WriteIndex = 0;
    }
    if (ring->NumPoints < ring->NumSlots) {
        ring->NumPoints++;
    }
}

int GraphRingResize(GraphRing* ring, int newSlots) {
    if (!ring->BuffersReady || newSlots <= 0 || newSlots == ring->NumSlots) {
        return 1;
    }
    int n = ring->NumPoints;
    int first;
    if (n < newSlots) {
        first = n >= ring->NumSlots ? ring->WriteIndex : 0;
    } else {
        first = (n + ring->WriteIndex - newSlots) % n;
    }
    int keep = n < newSlots ? n : newSlots;
    float* buffers[GRAPH_RING_LINES] = {};
    for (int i = 0; i < GRAPH_RING_LINES; i++) {
        buffers[i] = static_cast<float*>(calloc(static_cast<size_t>(newSlots), sizeof(float)));
        if (buffers[i] == nullptr) {
            for (int k = 0; k < i; k++) {
                free(buffers[k]);
            }
            return 0;
        }
    }
    for (int i = 0; i < GRAPH_RING_LINES; i++) {
        int slot = first;
        for (int k = 0; k < keep; k++) {
            buffers[i][k] = ring->LineVals[i][slot];
            slot++;
            if (slot >= n) {
                slot = 0;
            }
        }
        free(ring->LineVals[i]);
        ring->LineVals[i] = buffers[i];
    }
    ring->NumPoints = keep;
    ring->NumSlots = newSlots;
    ring->WriteIndex = keep % newSlots;
    return 1;
}

int GraphRingTogglePause(GraphRing* ring) {
    ring->Paused = !ring->Paused;
    return ring->Paused;
}

void GraphRingFree(GraphRing* ring) {
    for (int i = 0; i < GRAPH_RING_LINES; i++) {
        free(ring->LineVals[i]);
        ring->LineVals[i] = nullptr;
    }
    ring->BuffersReady = 0;
    ring->NumSlots = 0;
    ring->NumPoints = 0;
    ring->WriteIndex = 0;
}

int GraphRingFirstSlot(const GraphRing* ring, int width) {
    if (width <= 0 || ring->NumPoints < width) {
        return 0;
    }
    return (ring->NumPoints + ring->WriteIndex - width) % ring->NumPoints;
}

int GraphRingColumns(const GraphRing* ring, int width) {
    if (width <= 0) {
        return 0;
    }
    return ring->NumPoints < width ? ring->NumPoints : width;
}

int GraphRingSlotOfColumn(const GraphRing* ring, int firstSlot, int column) {
    if (ring->NumSlots <= 0) {
        return 0;
    }
    return (firstSlot + column) % ring->NumSlots;
}

int GraphSampleY(float value, float minimum, float maximum, int bottom, int height) {
    if (!(maximum > minimum) || height <= 0) {
        return bottom - 1;
    }
    float scale = static_cast<float>(height - 1) / (maximum - minimum);
    float offset = minimum * scale;
    float t = scale * value - offset;
    // Far out-of-range samples (or NaN) would overflow the integer cut; a few rows beyond the
    // edges are as good as any for a line that the clip cuts anyway.
    if (!(t > -1.0e6f)) {
        t = -1.0e6f;
    }
    if (t > 1.0e6f) {
        t = 1.0e6f;
    }
    return bottom - 1 - static_cast<int>(t);
}

int GraphGraticuleXs(int spacing, int width, int* xs, int maxXs) {
    int count = 0;
    if (spacing <= 0) {
        return 0;
    }
    for (int x = spacing; x < width && count < maxXs; x += spacing) {
        xs[count++] = x;
    }
    return count;
}

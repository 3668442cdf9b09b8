// The strip chart's sample store: one ring of floats per line, sized to the window's width,
// and the arithmetic of drawing it (which slot goes in the left column, the row of a sample,
// where the graticule lines stand).
#pragma once

constexpr int GRAPH_RING_LINES = 4;
constexpr int GRAPH_FIRST_BUFFER_SLOTS = 10;

struct GraphRing {
    int NumLines;
    int WriteIndex;
    int NumPoints;
    int NumSlots;
    int BuffersReady;
    int Paused;
    float* LineVals[GRAPH_RING_LINES];
    float LineMin[GRAPH_RING_LINES];
    float LineMax[GRAPH_RING_LINES];
};

// Zeroes the record; no buffers yet.
void GraphRingClear(GraphRing* ring);

// Sets the lines in use and empties the ring. The first call allocates the four small buffers
// and sets *firstCall to 1 (the caller then asks for a size event). Refuses (returns 0, no
// change) a count outside 0..GRAPH_RING_LINES or when memory runs out.
int GraphRingSetNumLines(GraphRing* ring, int numLines, int* firstCall);

// Limits of one line; a line number outside 0..3 is refused.
int GraphRingSetLimits(GraphRing* ring, int line, float minimum, float maximum);

void GraphRingReset(GraphRing* ring);

// One sample for every line in use; dropped while paused or before the buffers exist.
void GraphRingStore(GraphRing* ring, const float* values);

// Re-sizes every ring to newSlots samples keeping the newest; returns 0 when memory runs out
// (the old rings stay). Nothing changes for 0, for the present size or before the buffers exist.
int GraphRingResize(GraphRing* ring, int newSlots);

// Toggles the pause; returns the new state.
int GraphRingTogglePause(GraphRing* ring);

// Releases the buffers.
void GraphRingFree(GraphRing* ring);

// The slot shown in the left column of a plot `width` columns wide (the newest samples, oldest
// first) and the number of columns that hold a sample.
int GraphRingFirstSlot(const GraphRing* ring, int width);
int GraphRingColumns(const GraphRing* ring, int width);
// The slot of column `column` given the first slot.
int GraphRingSlotOfColumn(const GraphRing* ring, int firstSlot, int column);

// The row of a sample in a plot whose bottom edge is `bottom` (exclusive) and height `height`.
int GraphSampleY(float value, float minimum, float maximum, int bottom, int height);

// Writes the graticule x positions (spacing, 2 x spacing, ... below width) into xs, at most
// maxXs of them; returns how many there are.
int GraphGraticuleXs(int spacing, int width, int* xs, int maxXs);

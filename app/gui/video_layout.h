// The geometry of the video grid: pane counts and pane rectangles of each layout, and the picture-in-picture
// windows of a pane. Pure functions, no windows.
#pragma once

#include <QRect>
#include <vector>

constexpr int kGridPanes = 9;     // panes the grid owns
constexpr int kLayoutLimit = 10;  // rows and columns are cut to this

// Panes shown by a layout: rows × columns; for columns 0, 6 (rows 1) or 8 (rows 2), else 0.
int LayoutPaneCount(int rows, int columns);
// True when the layout can be shown: 1 to 9 panes.
bool LayoutIsValid(int rows, int columns);
// The rectangles (in grid coordinates) of panes 0..count-1 of the layout in a grid of width × height,
// 1-pixel gaps around each; empty for a layout that cannot be shown.
std::vector<QRect> LayoutPaneRects(int rows, int columns, int width, int height);
// The square layout of the `view` setting (n × n panes), with n kept within 1..3 so no more than nine panes
// are ever asked for.
int ViewLayoutSide(int view);

// The three picture-in-picture windows of a pane of cx × cy along its bottom edge: each a 16:9 picture plus
// 10 pixels; empty rectangles when either side is 0.
std::vector<QRect> PipWindowRects(int cx, int cy);

#include "app/gui/video_layout.h"

#include <algorithm>

int LayoutPaneCount(int rows, int columns) {
  if (columns != 0) return rows * columns;
  if (rows == 1) return 6;
  if (rows == 2) return 8;
  return 0;
}

bool LayoutIsValid(int rows, int columns) {
  if (rows < 0 || columns < 0 || rows > kLayoutLimit || columns > kLayoutLimit) return false;
  int n = LayoutPaneCount(rows, columns);
  return n >= 1 && n <= kGridPanes;
}

std::vector<QRect> LayoutPaneRects(int rows, int columns, int width, int height) {
  std::vector<QRect> out;
  if (!LayoutIsValid(rows, columns)) return out;
  const int W = width, H = height;
  if (columns != 0) {
    int y = 1;
    for (int k = 0; k < rows; ++k) {
      int h = (H - y) / (rows - k);
      int x = 1;
      for (int m = 0; m < columns; ++m) {
        int w = (W - x) / (columns - m);
        out.emplace_back(x, y, w - 1, h - 1);
        x += w;
      }
      y += h;
    }
    return out;
  }
  const int g = rows == 1 ? 3 : 4;
  const int last = rows == 1 ? 5 : 7;
  const int t = (W - 1) / g;
  const int u = (H - 1) / g;
  out.resize(last + 1);
  out[0] = QRect(1, 1, W - t - 2, H - u - 2);
  out[last] = QRect(W - t, H - u, t - 1, u - 1);
  {
    int x = W - t, y = 1;
    for (int i = 1; i <= g - 1; ++i) {
      int h = (H - u - y) / (g - i);
      out[i] = QRect(x, y, t - 1, h - 1);
      y += h;
    }
  }
  {
    int y = H - u, x = 1;
    for (int i = g; i <= last - 1; ++i) {
      int w = (W - t - x) / (last - i);
      out[i] = QRect(x, y, w - 1, u - 1);
      x += w;
    }
  }
  return out;
}

int ViewLayoutSide(int view) { return std::clamp(view, 1, 3); }

std::vector<QRect> PipWindowRects(int cx, int cy) {
  std::vector<QRect> out(3);
  if (cx == 0 || cy == 0) return out;
  const int a = ((cy / 3 - 10) * 16) / 9 + 10;
  for (int k = 0; k < 3; ++k) out[k] = QRect(k * a, cy - cy / 3, a, cy / 3);
  return out;
}

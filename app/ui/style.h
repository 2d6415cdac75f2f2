// The look of the application: one style and palette for every window, and art drawn in code.
#pragma once

#include <QColor>
#include <QPixmap>

class QApplication;

// Brand colour of buttons and highlights.
constexpr QRgb kAccentColour = 0x2F6FEB;

// Fusion style with a light palette and the accent colour.
void ApplyAppStyle(QApplication* app);
// The product mark: a rounded square with a camera lens, size × size pixels (device-pixel aware).
QPixmap MakeLogoPixmap(int size, qreal device_pixel_ratio = 1.0);

// The look of the application: one style and palette for every window, and art drawn in code.
#pragma once

#include <QColor>
#include <QPalette>
#include <QPixmap>

class QApplication;

// Brand colour of buttons and highlights.
constexpr QRgb kAccentColour = 0x2F6FEB;
// The dark colours every window shares (0xRRGGBB): dialog and menu backgrounds, edit boxes, text.
constexpr QRgb kDarkWindow = 0x2B2F36;
constexpr QRgb kDarkBase = 0x1F2329;
constexpr QRgb kDarkText = 0xE8EAED;

// Fusion style with the dark palette, the accent colour and one style sheet for dialogs, message boxes,
// menus and tooltips.
void ApplyAppStyle(QApplication* app);
QPalette AppPalette();
// The product mark: a rounded square with a camera lens, size × size pixels (device-pixel aware).
QPixmap MakeLogoPixmap(int size, qreal device_pixel_ratio = 1.0);

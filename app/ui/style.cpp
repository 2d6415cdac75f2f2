#include "app/ui/style.h"

#include <QApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>

namespace {

// Dialogs, message boxes, menus and tooltips in the colours of the main window.
constexpr char kAppStyleSheet[] =
    "QDialog, QMessageBox { background: #2B2F36; }"
    "QLabel { color: #E8EAED; background: transparent; }"
    "QLineEdit, QComboBox { padding: 5px 6px; color: #E8EAED; background: #1F2329; border: 1px solid #4A515C;"
    " border-radius: 4px; selection-background-color: #2F6FEB; }"
    "QLineEdit:focus, QComboBox:focus { border-color: #2F6FEB; }"
    "QComboBox QAbstractItemView { color: #E8EAED; background: #1F2329; border: 1px solid #4A515C;"
    " selection-background-color: #2F6FEB; }"
    "QCheckBox { color: #E8EAED; background: transparent; }"
    "QPushButton { color: #E8EAED; border: 1px solid #4A515C; border-radius: 6px; padding: 7px 18px;"
    " background: #353A42; min-width: 64px; }"
    "QPushButton:hover { background: #3F454E; }"
    "QPushButton:pressed { background: #2A2E34; }"
    "QPushButton:disabled { color: #6B7480; background: #2E3238; border-color: #3A4048; }"
    "QPushButton:default, QPushButton[primary=\"true\"] { background: #2F6FEB; color: white;"
    " border: 1px solid #2F6FEB; font-weight: 600; }"
    "QPushButton:default:hover, QPushButton[primary=\"true\"]:hover { background: #2A63D4; }"
    "QPushButton[primary=\"true\"]:disabled { background: #34486E; border-color: #34486E; color: #9AA6B8; }"
    "QMenu { color: #E8EAED; background: #23272D; border: 1px solid #4A515C; padding: 4px 0; }"
    "QMenu::item { padding: 6px 28px 6px 24px; background: transparent; }"
    "QMenu::item:selected { background: #2F6FEB; color: white; }"
    "QMenu::item:disabled { color: #6B7480; }"
    "QMenu::separator { height: 1px; background: #3A4048; margin: 4px 8px; }"
    "QMenu::indicator { width: 12px; height: 12px; left: 6px; }"
    "QToolTip { color: #E8EAED; background: #1F2329; border: 1px solid #4A515C; padding: 3px 5px; }";

// Fusion with a thin chevron for the drop-down arrows, and buttons without icons (an OK with a tick
// icon looks odd next to the dark texts).
class VelmoraStyle : public QProxyStyle {
 public:
  VelmoraStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_DialogButtonBox_ButtonsHaveIcons) return 0;
    return QProxyStyle::styleHint(hint, option, widget, data);
  }
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element == PE_IndicatorCheckBox) return DrawCheckBox(option, painter);
    if (element != PE_IndicatorArrowDown) return QProxyStyle::drawPrimitive(element, option, painter, widget);
    QRectF r = option->rect;
    const qreal w = qMin<qreal>(8, r.width() * 0.6);
    const QPointF c = r.center();
    QColor colour = option->state & State_Enabled ? QColor(0xC4, 0xCA, 0xD2) : QColor(0x6B, 0x74, 0x80);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter->drawPolyline(QPolygonF({QPointF(c.x() - w / 2, c.y() - w / 4), QPointF(c.x(), c.y() + w / 4),
                                     QPointF(c.x() + w / 2, c.y() - w / 4)}));
    painter->restore();
  }

 private:
  // A check box that shows on the dark ground: a light frame, filled with the accent and ticked when on.
  static void DrawCheckBox(const QStyleOption* option, QPainter* painter) {
    const QRectF r = QRectF(option->rect).adjusted(1.5, 1.5, -1.5, -1.5);
    const bool on = option->state & State_On;
    const bool enabled = option->state & State_Enabled;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(on ? QColor(kAccentColour)
                            : QColor(enabled ? 0x9A : 0x5A, enabled ? 0xA3 : 0x60, enabled ? 0xAF : 0x6A),
                         1.2));
    painter->setBrush(on ? QColor(kAccentColour) : QColor(kDarkBase));
    painter->drawRoundedRect(r, 3, 3);
    if (on) {
      painter->setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      painter->drawPolyline(QPolygonF({QPointF(r.left() + r.width() * 0.22, r.center().y()),
                                       QPointF(r.left() + r.width() * 0.43, r.bottom() - r.height() * 0.25),
                                       QPointF(r.right() - r.width() * 0.2, r.top() + r.height() * 0.27)}));
    }
    painter->restore();
  }
};

}  // namespace

void ApplyAppStyle(QApplication* app) {
  app->setStyle(new VelmoraStyle);
  app->setPalette(AppPalette());
  QFont font = app->font();
  if (font.pointSizeF() < 10) font.setPointSizeF(10);
  app->setFont(font);
  app->setStyleSheet(QString::fromLatin1(kAppStyleSheet));
}

QPalette AppPalette() {
  QPalette p;
  const QColor text(kDarkText);
  const QColor dim(0x6B, 0x74, 0x80);
  p.setColor(QPalette::Window, QColor(kDarkWindow));
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, QColor(kDarkBase));
  p.setColor(QPalette::AlternateBase, QColor(0x2A, 0x2E, 0x35));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, QColor(0x35, 0x3A, 0x42));
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, Qt::white);
  p.setColor(QPalette::Light, QColor(0x4A, 0x51, 0x5C));
  p.setColor(QPalette::Midlight, QColor(0x3D, 0x43, 0x4C));
  p.setColor(QPalette::Mid, QColor(0x30, 0x35, 0x3C));
  p.setColor(QPalette::Dark, QColor(0x18, 0x1B, 0x1F));
  p.setColor(QPalette::Shadow, QColor(0x0E, 0x10, 0x13));
  p.setColor(QPalette::Highlight, QColor(kAccentColour));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Link, QColor(0x6E, 0x9C, 0xFF));
  p.setColor(QPalette::ToolTipBase, QColor(kDarkBase));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, QColor(0x8C, 0x95, 0xA1));
  for (QPalette::ColorRole role : {QPalette::ButtonText, QPalette::Text, QPalette::WindowText})
    p.setColor(QPalette::Disabled, role, dim);
  return p;
}

QPixmap MakeLogoPixmap(int size, qreal device_pixel_ratio) {
  const int px = qRound(size * device_pixel_ratio);
  QPixmap pm(px, px);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = px;
  QLinearGradient g(0, 0, s, s);
  g.setColorAt(0, QColor(0x4C, 0x8D, 0xFF));
  g.setColorAt(1, QColor(0x1F, 0x4F, 0xC8));
  QPainterPath rounded;
  rounded.addRoundedRect(QRectF(0, 0, s, s), s * 0.22, s * 0.22);
  p.fillPath(rounded, g);
  // Camera body and lens.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 235));
  p.drawEllipse(QPointF(s * 0.5, s * 0.5), s * 0.30, s * 0.30);
  p.setBrush(QColor(0x1F, 0x4F, 0xC8));
  p.drawEllipse(QPointF(s * 0.5, s * 0.5), s * 0.17, s * 0.17);
  p.setBrush(QColor(255, 255, 255, 200));
  p.drawEllipse(QPointF(s * 0.45, s * 0.45), s * 0.05, s * 0.05);
  p.end();
  pm.setDevicePixelRatio(device_pixel_ratio);
  return pm;
}

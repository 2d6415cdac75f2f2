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

// Fusion with a thin chevron for the drop-down arrows.
class VelmoraStyle : public QProxyStyle {
 public:
  VelmoraStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element != PE_IndicatorArrowDown) return QProxyStyle::drawPrimitive(element, option, painter, widget);
    QRectF r = option->rect;
    const qreal w = qMin<qreal>(8, r.width() * 0.6);
    const QPointF c = r.center();
    QColor colour = option->state & State_Enabled ? QColor(0x5A, 0x63, 0x70) : QColor(0xA8, 0xAF, 0xB8);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter->drawPolyline(QPolygonF({QPointF(c.x() - w / 2, c.y() - w / 4), QPointF(c.x(), c.y() + w / 4),
                                     QPointF(c.x() + w / 2, c.y() - w / 4)}));
    painter->restore();
  }
};

}  // namespace

void ApplyAppStyle(QApplication* app) {
  app->setStyle(new VelmoraStyle);
  QPalette p;
  const QColor accent(kAccentColour);
  p.setColor(QPalette::Window, QColor(0xF5, 0xF6, 0xF8));
  p.setColor(QPalette::WindowText, QColor(0x1F, 0x23, 0x28));
  p.setColor(QPalette::Base, Qt::white);
  p.setColor(QPalette::AlternateBase, QColor(0xF0, 0xF2, 0xF5));
  p.setColor(QPalette::Text, QColor(0x1F, 0x23, 0x28));
  p.setColor(QPalette::Button, QColor(0xFA, 0xFB, 0xFC));
  p.setColor(QPalette::ButtonText, QColor(0x1F, 0x23, 0x28));
  p.setColor(QPalette::Highlight, accent);
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::PlaceholderText, QColor(0x8C, 0x95, 0xA1));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0xA8, 0xAF, 0xB8));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0xA8, 0xAF, 0xB8));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0xA8, 0xAF, 0xB8));
  app->setPalette(p);
  QFont font = app->font();
  if (font.pointSizeF() < 10) font.setPointSizeF(10);
  app->setFont(font);
  app->setStyleSheet(QStringLiteral(
      "QLineEdit { padding: 5px 6px; }"
      "QComboBox { padding: 5px 6px; }"
      "QPushButton { border: 1px solid #CDD3DB; border-radius: 6px; padding: 7px 18px; background: #FAFBFC; }"
      "QPushButton:hover { background: #EEF2F7; }"
      "QPushButton:disabled { color: #A8AFB8; background: #F3F4F6; border-color: #E1E5EA; }"
      "QPushButton[primary=\"true\"] { background: #2F6FEB; color: white; border: 1px solid #2F6FEB;"
      " font-weight: 600; }"
      "QPushButton[primary=\"true\"]:hover { background: #2A63D4; }"
      "QPushButton[primary=\"true\"]:disabled { background: #9DB8F0; border-color: #9DB8F0; color: #F4F7FD; "
      "}"));
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

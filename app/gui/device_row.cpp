#include "app/gui/device_row.h"

#include <QApplication>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include "app/device_list.h"
#include "app/settings.h"
#include "sdk/node/device_node.h"

namespace {

constexpr int kIndexRole = Qt::UserRole;

// Paints the rows through the list's own drawing.
class DeviceRowDelegate : public QStyledItemDelegate {
 public:
  explicit DeviceRowDelegate(CDeviceListCtrl* list) : QStyledItemDelegate(list), list_(list) {}
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    DeviceRowView v = list_->RowView(index.row());
    v.selected = option.state & QStyle::State_Selected;
    DrawDeviceRow(p, option.rect, v);
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QSize hint = index.data(Qt::SizeHintRole).toSize();
    return QSize(option.rect.width(), hint.height() > 0 ? hint.height() : kDeviceRowHeight);
  }

 private:
  CDeviceListCtrl* list_;
};

QImage MakeOfflineOverlay() {
  // Drawn on black so that OR-painting adds only the mark: a crossed-out cloud and "Offline".
  QImage img(96, 40, QImage::Format_RGB32);
  img.fill(Qt::black);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor mark(0x9A, 0x9A, 0x9A);
  p.setPen(QPen(mark, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  QPainterPath cloud;
  cloud.moveTo(10, 24);
  cloud.arcTo(4, 12, 14, 12, 270, -180);
  cloud.arcTo(10, 4, 16, 16, 180, -180);
  cloud.arcTo(22, 10, 12, 14, 90, -180);
  cloud.closeSubpath();
  p.drawPath(cloud);
  p.drawLine(QPointF(6, 30), QPointF(32, 4));
  QFont f = DeviceRowFont();
  f.setBold(true);
  p.setFont(f);
  p.drawText(QRect(38, 4, 58, 24), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Offline"));
  return img;
}

}  // namespace

QFont DeviceRowFont() {
  QFont f = QApplication::font();
  f.setPixelSize(13);
  f.setBold(false);
  return f;
}

const QImage& OfflineOverlay() {
  static const QImage image = MakeOfflineOverlay();
  return image;
}

QRgb DeviceRowTextColour(const DeviceRowView& v) {
  if (v.alive) return kRowTextAlive;
  return v.online ? kRowTextOnline : kRowTextOffline;
}

int DeviceRowHeight(const DeviceRowView& v) {
  if (!v.thumbnail.isNull()) return kDeviceRowHeight;
  const int lines = v.tags.isEmpty() ? 3 : 4;
  return kRowTextInset + lines * kRowLineHeight + kRowBottomInset;
}

void DrawDeviceRow(QPainter* p, const QRect& rect, const DeviceRowView& v) {
  p->save();
  p->setClipRect(rect);
  // The selected row: a muted fill that keeps every text colour readable, and an accent bar.
  p->fillRect(rect, QColor(v.selected ? kRowSelectedFill : kRowBackground));
  if (v.selected)
    p->fillRect(QRect(rect.left(), rect.top(), kRowAccentWidth, rect.height()), QColor(kRowSelected));
  p->setFont(DeviceRowFont());
  p->setPen(QColor(DeviceRowTextColour(v)));
  p->setBackgroundMode(Qt::TransparentMode);

  const QRect thumb(rect.left() + kThumbLeft, rect.top() + kThumbTop, kThumbWidth, kThumbHeight);
  const bool has_thumb = !v.thumbnail.isNull();
  // Beside a thumbnail the texts end where it begins, instead of running under it.
  const int text_width = has_thumb ? kThumbLeft - kRowTextInset - 2 : rect.width() - kRowTextInset;
  QStringList lines{v.name, v.uuid, v.version};
  if (!v.tags.isEmpty()) lines << v.tags;
  const QFontMetrics fm(p->font());
  int y = rect.top() + kRowTextInset;
  for (const QString& line : lines) {
    const QRect r(rect.left() + kRowTextInset, y, text_width, kRowLineHeight);
    p->drawText(r, Qt::AlignLeft | Qt::AlignTop, fm.elidedText(line, Qt::ElideRight, text_width));
    y += kRowLineHeight;
  }
  if (has_thumb) p->drawImage(thumb, v.thumbnail);
  if (!v.online) {
    const QImage& overlay = OfflineOverlay();
    // Centred on the thumbnail, or at the right of a row without one.
    const QPoint at = has_thumb ? QPoint(thumb.left() + (thumb.width() - overlay.width()) / 2,
                                         thumb.top() + (thumb.height() - overlay.height()) / 2)
                                : QPoint(rect.right() - overlay.width() - 8,
                                         rect.top() + (rect.height() - overlay.height()) / 2);
    p->setCompositionMode(QPainter::RasterOp_SourceOrDestination);
    p->drawImage(at, overlay);
    p->setCompositionMode(QPainter::CompositionMode_SourceOver);
  }
  p->restore();
}

void DrawNoItem(QPainter* p, const QRect& rect) {
  p->save();
  p->setFont(DeviceRowFont());
  p->setPen(QColor(kNoItemText));
  const QFontMetrics fm(p->font());
  const int middle = rect.top() + rect.height() / 2 - 8;
  const QRect line(rect.left(), middle - fm.height() / 2, rect.width(), fm.height());
  p->drawText(line, Qt::AlignHCenter | Qt::AlignVCenter, QStringLiteral("No Item"));
  p->restore();
}

CDeviceListCtrl::CDeviceListCtrl(QWidget* parent) : QListWidget(parent) {
  setObjectName(QStringLiteral("DeviceList"));
  setItemDelegate(new DeviceRowDelegate(this));
  setUniformItemSizes(false);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  setFrameShape(QFrame::NoFrame);
  setMouseTracking(false);
  QPalette pal = palette();
  pal.setColor(QPalette::Base, QColor(kRowBackground));
  pal.setColor(QPalette::Window, QColor(kRowBackground));
  setPalette(pal);
  // Flat scroll bar, 4 pixels wide, without arrows.
  setStyleSheet(QStringLiteral(
      "QListWidget { background: #262626; border: none; outline: none; }"
      "QScrollBar:vertical { width: 4px; background: #262626; margin: 0; }"
      "QScrollBar::handle:vertical { background: #5A5A5A; min-height: 24px; border-radius: 2px; }"
      "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
      "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
  // The devices of cleared rows may be freed: what was known of them goes too.
  connect(model(), &QAbstractItemModel::modelReset, this, [this] {
    lost_.clear();
    drawn_.clear();
  });
  lookup_ = [](int index) -> DeviceNode* {
    DeviceNodeList& nodes = ProcessDeviceNodes();
    return index >= 0 && index < static_cast<int>(nodes.size()) ? nodes[index] : nullptr;
  };
}

// The model outlives the members its reset clears.
CDeviceListCtrl::~CDeviceListCtrl() { disconnect(model(), nullptr, this, nullptr); }

void CDeviceListCtrl::AppendRow(const QString& uuid, int device_index) {
  auto* item = new QListWidgetItem(uuid);
  item->setData(kIndexRole, device_index);
  addItem(item);
  item->setSizeHint(QSize(0, DeviceRowHeight(RowView(row(item)))));
}

int CDeviceListCtrl::RowDeviceIndex(int row) const {
  const QListWidgetItem* it = item(row);
  return it ? it->data(kIndexRole).toInt() : -1;
}

DeviceNode* CDeviceListCtrl::RowDevice(int row) const {
  const int index = RowDeviceIndex(row);
  return index >= 0 && lookup_ ? lookup_(index) : nullptr;
}

QImage CDeviceListCtrl::Thumbnail(const std::string& path) const {
  if (path.empty()) return QImage();
  const QFileInfo fi(QString::fromStdString(path));
  if (!fi.isFile()) {
    thumbs_.erase(path);
    return QImage();
  }
  CachedThumb& c = thumbs_[path];
  if (c.size != fi.size() || c.modified != fi.lastModified()) {
    QImage img(fi.filePath());
    c.image = img.isNull()
                  ? QImage()
                  : img.scaled(kThumbWidth, kThumbHeight, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    c.size = fi.size();
    c.modified = fi.lastModified();
  }
  return c.image;
}

DeviceRowView CDeviceListCtrl::RowView(int row) const {
  DeviceRowView v;
  const QListWidgetItem* it = item(row);
  if (!it) return v;
  v.selected = it->isSelected();
  DeviceNode* node = RowDevice(row);
  if (!node) {
    v.uuid = it->text();
    return v;
  }
  const DeviceInfo& info = node->Info();
  v.name = QString::fromStdString(Utf8ToLocal(info.name.data(), info.name.size()));
  v.uuid = QString::fromStdString(info.uuid);
  v.version = QString::fromStdString(DeviceVersionText(info.current_version));
  v.tags = QString::fromStdString(DeviceTagText(info));
  v.online = info.is_online != 0 && !DeviceLost(node);
  CP2pClient* client = node->PeekP2pClient();
  v.alive = client && client->IsAlive();
  drawn_[row] = {v.alive, v.online};
  v.thumbnail = Thumbnail(ThumbnailCachePath(info));
  return v;
}

void CDeviceListCtrl::RedrawRow(int row) {
  QListWidgetItem* it = item(row);
  if (!it) return;
  const int height = DeviceRowHeight(RowView(row));
  if (it->sizeHint().height() != height) it->setSizeHint(QSize(0, height));
  viewport()->update(visualItemRect(it));
}

void CDeviceListCtrl::SetDeviceLost(const DeviceNode* device, bool lost) {
  if (!device || DeviceLost(device) == lost) return;
  if (lost)
    lost_.insert(device);
  else
    lost_.erase(device);
  for (int r = 0; r < count(); ++r)
    if (RowDevice(r) == device) RedrawRow(r);
}

void CDeviceListCtrl::RefreshRowStates() {
  for (int r = 0; r < count(); ++r) {
    DeviceNode* node = RowDevice(r);
    if (!node) continue;
    CP2pClient* client = node->PeekP2pClient();
    const std::pair<bool, bool> now{client && client->IsAlive(),
                                    node->Info().is_online != 0 && !DeviceLost(node)};
    auto it = drawn_.find(r);
    if (it == drawn_.end() || it->second != now) RedrawRow(r);
  }
}

QImage CDeviceListCtrl::RenderRow(int row) const {
  const int w = viewport()->width() > 0 ? viewport()->width() : kThumbLeft + kThumbWidth;
  QImage img(w, kDeviceRowHeight, QImage::Format_RGB32);
  img.fill(Qt::black);
  QPainter p(&img);
  DrawDeviceRow(&p, img.rect(), RowView(row));
  return img;
}

void CDeviceListCtrl::paintEvent(QPaintEvent* e) {
  if (count() == 0) {
    QPainter p(viewport());
    p.fillRect(viewport()->rect(), QColor(kRowBackground));
    DrawNoItem(&p, viewport()->rect());
    return;
  }
  QListWidget::paintEvent(e);
}

void CDeviceListCtrl::mousePressEvent(QMouseEvent* e) {
  press_ = e->position().toPoint();
  QListWidgetItem* it = itemAt(press_);
  press_row_ = e->button() == Qt::LeftButton && it ? row(it) : -1;
  QListWidget::mousePressEvent(e);
}

void CDeviceListCtrl::mouseMoveEvent(QMouseEvent* e) {
  if (press_row_ >= 0 && (e->buttons() & Qt::LeftButton) &&
      (e->position().toPoint() - press_).manhattanLength() >= QApplication::startDragDistance()) {
    const int r = press_row_;
    press_row_ = -1;
    if (on_begin_drag) on_begin_drag(r);
    return;
  }
  QListWidget::mouseMoveEvent(e);
}

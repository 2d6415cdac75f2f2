// The device list of the main window: an owner-drawn list of rows, one per device (row text the
// device's uuid, item data its index in the device list), each showing the name, uuid, firmware version,
// tags and thumbnail in the colour of the device's state (rows without a thumbnail hold only their texts);
// "No Item" when empty.
#pragma once

#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QImage>
#include <QListWidget>
#include <QString>
#include <functional>
#include <map>
#include <set>
#include <string>

class DeviceNode;

// Colours (0xRRGGBB).
constexpr QRgb kRowBackground = 0x262626;
constexpr QRgb kRowSelected = 0xFF7F27;      // the selected row's accent bar
constexpr QRgb kRowSelectedFill = 0x3A4350;  // under the selected row's texts, which keep their colours
constexpr int kRowAccentWidth = 4;
constexpr QRgb kRowTextAlive = 0x00FF00;
constexpr QRgb kRowTextOnline = 0xFFFFFF;
constexpr QRgb kRowTextOffline = 0x808080;
constexpr QRgb kNoItemText = 0xC0C0C0;
// Geometry of a row.
constexpr int kDeviceRowHeight = 116;  // a row with a thumbnail
constexpr int kRowBottomInset = 6;     // below the last text line of a row without one
constexpr int kRowTextInset = 2;
constexpr int kRowLineHeight = 18;
constexpr int kThumbLeft = 98;
constexpr int kThumbTop = 4;
constexpr int kThumbWidth = 192;
constexpr int kThumbHeight = 108;
// Control ids of the device views.
constexpr int kDeviceListId = 3001;
constexpr int kGroupTreeId = 3006;

// What one row shows.
struct DeviceRowView {
  QString name;
  QString uuid;
  QString version;
  QString tags;  // empty: no tag line
  bool online = false;
  bool alive = false;  // the device's session is up
  bool selected = false;
  QImage thumbnail;  // null: none in the cache
};

// The 10-point caption font of the rows.
QFont DeviceRowFont();
// The picture OR-painted over the thumbnail area of an offline device.
const QImage& OfflineOverlay();
// The text colour of a row by the device's state.
QRgb DeviceRowTextColour(const DeviceRowView& v);
// Draws one row into rect.
void DrawDeviceRow(QPainter* p, const QRect& rect, const DeviceRowView& v);
// The height of a row: room for the thumbnail, or for the text lines alone.
int DeviceRowHeight(const DeviceRowView& v);
// Draws "No Item" for an empty list of client area rect.
void DrawNoItem(QPainter* p, const QRect& rect);

class CDeviceListCtrl : public QListWidget {
 public:
  explicit CDeviceListCtrl(QWidget* parent = nullptr);
  ~CDeviceListCtrl() override;

  // Appends a row: text the uuid, item data the device's index.
  void AppendRow(const QString& uuid, int device_index);
  int RowDeviceIndex(int row) const;
  // The device of a row (through the device lookup), or null.
  DeviceNode* RowDevice(int row) const;
  // How rows find their device by item data index (the process-wide device list by default).
  void SetDeviceLookup(std::function<DeviceNode*(int index)> lookup) { lookup_ = std::move(lookup); }
  // What row shows now (thumbnail read from the cache).
  DeviceRowView RowView(int row) const;
  // Redraws one row, reading its thumbnail again (its height follows); rows out of range are ignored.
  void RedrawRow(int row);
  // A device whose connect failed as unreachable shows offline until a connect succeeds.
  void SetDeviceLost(const DeviceNode* device, bool lost);
  bool DeviceLost(const DeviceNode* device) const { return lost_.count(device) != 0; }
  // Redraws the rows whose session or online state changed since they were drawn.
  void RefreshRowStates();
  // Renders row into an image of the row's size (for tests and drag pictures).
  QImage RenderRow(int row) const;

  // A left-button drag of a row started (the row); set by the owner.
  std::function<void(int row)> on_begin_drag;

 protected:
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;

 private:
  QImage Thumbnail(const std::string& path) const;

  std::function<DeviceNode*(int index)> lookup_;
  std::set<const DeviceNode*> lost_;
  // Per row: alive and online as last drawn.
  mutable std::map<int, std::pair<bool, bool>> drawn_;
  struct CachedThumb {
    QDateTime modified;
    qint64 size = -1;
    QImage image;
  };
  mutable std::map<std::string, CachedThumb> thumbs_;
  QPoint press_;
  int press_row_ = -1;
};

// A window whose look comes from a skin file: background bitmaps and tiles, colour blocks, texts, the
// places of child controls, and bitmap buttons that behave as a button bar.
#pragma once

#include <QImage>
#include <map>
#include <string>

#include "app/gui/skin_file.h"
#include "app/gui/toolbar.h"

// Moves rect for a resize from the reference size (w0, h0) to (w, h) by its anchor flags.
SkinRect RelayoutRect(const SkinRect& rect, uint32_t flags, int w, int h, int w0, int h0);
// The 3-pixel bevel around rect: each ring's blue, green and red changed by its step, clamped.
void DrawReliefFrame(QImage* image, const SkinRect& rect, bool raised);
// A copy of image with white (0xFFFFFF) made transparent.
QImage KeyOutWhite(const QImage& image);

class CBmpbtnContainer : public CVToolbar {
 public:
  explicit CBmpbtnContainer(QWidget* parent = nullptr);
  ~CBmpbtnContainer() override;

  // Empties the tables and loads the skin file; 0 when it cannot be opened or a line was rejected.
  int LoadSkinFile(const std::string& path);
  int GetButtonRect(int index, SkinRect* rect, uint32_t* flags) const;
  int GetStaticRect(int index, SkinRect* rect, uint32_t* flags) const;
  int MoveStatic(int index, const SkinRect& rect, uint32_t flags);
  // The child window a control static places (by its control id).
  void SetControl(uint32_t id, QWidget* child);
  int ref_width() const { return skin_.ref_width; }
  int ref_height() const { return skin_.ref_height; }
  const SkinData& skin() const { return skin_; }

  int GetButtonState(int index) const override;
  int GetButtonStyle(int index) const override;
  int GetButtonCount() const override;
  int IndexFromId(int id) const override;
  int IdFromIndex(int index) const override;
  bool HitTestButton(int index, const QPoint& point) const override;
  int ButtonFromPoint(const QPoint& point) const override;
  void DrawButton(QPainter* p, int index, int draw_state) override;
  QString GetTooltipText(int index) const override;
  void SetButtonState(int index, int bits) override;
  void ClearButtonState(int index, int bits) override;
  void InvalidateButton(int index) override;
  virtual int StaticIndexFromId(uint32_t id) const;
  virtual int StaticIdFromIndex(int index) const;
  // The owner draws a text static that has no font; the base draws nothing.
  virtual void DrawTextCallback(QPainter* p, int id, const QRect& rect, uint32_t align);
  // The owner supplies the text of a "TextCallback" static; the base has none.
  virtual bool QueryTextCallback(int id, QString* text);

  // Renders the window (statics, then buttons by their look) into image, within clip.
  void RenderSkin(QImage* image, const QRect& clip);
  // Relayout for a new client size.
  void Relayout(int w, int h);

 protected:
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  QRect ButtonRect(int index) const override;

 private:
  void PaintSkinStatic(QPainter* p, QImage* image, const SkinStatic& s);
  const QImage& Keyed(const SkinBitmap& bitmap);
  void PlaceControl(const SkinStatic& s);

  SkinData skin_;
  std::map<uint32_t, QWidget*> controls_;
  std::map<const QImage*, QImage> keyed_;
};

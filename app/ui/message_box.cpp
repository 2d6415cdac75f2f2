#include "app/ui/message_box.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <mutex>

#include "app/ui/strings.h"

namespace {

std::mutex g_mu;
MessageBoxHook g_hook;

}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_hook = std::move(hook);
}

int ShowMessage(QWidget* owner, const QString& text, const QString& caption, UiBoxIcon icon) {
  MessageBoxHook hook;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    hook = g_hook;
  }
  if (hook) return hook(owner, text, caption, icon);
  std::unique_ptr<QMessageBox> box = MakeMessageBox(owner, text, caption, icon);
  box->exec();
  return IDOK;
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const QString& text, const QString& caption,
                                            UiBoxIcon icon) {
  auto box = std::make_unique<QMessageBox>(icon == kBoxError     ? QMessageBox::Critical
                                           : icon == kBoxWarning ? QMessageBox::Warning
                                                                 : QMessageBox::Information,
                                           caption, text, QMessageBox::Ok, owner);
  if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->setText(UiText("OK", "确定"));
  return box;
}

int ShowResourceMessage(QWidget* owner, int text_id, int caption_id, UiBoxIcon icon, const char* detail) {
  QString text = LoadUiString(text_id);
  if (detail) text += QStringLiteral("\n[%1]").arg(QString::fromUtf8(detail));
  return ShowMessage(owner, text, LoadUiString(caption_id), icon);
}

int ShowInfoBox(QWidget* owner, int text_id) {
  return ShowResourceMessage(owner, text_id, IDS_INFORMATION, kBoxInformation, nullptr);
}

int ShowErrorBox(QWidget* owner, int text_id, const char* detail) {
  return ShowResourceMessage(owner, text_id, IDS_ERROR, kBoxError, detail);
}

// Message boxes whose texts come from the string table.
#pragma once

#include <QString>
#include <functional>
#include <memory>

class QMessageBox;
class QWidget;

enum UiBoxIcon { kBoxInformation, kBoxWarning, kBoxError };
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Replaces the boxes (tests count them instead of clicking); an empty hook restores them.
using MessageBoxHook =
    std::function<int(QWidget* owner, const QString& text, const QString& caption, UiBoxIcon icon)>;
void SetMessageBoxHook(MessageBoxHook hook);

// The box ShowMessage shows, not yet shown.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const QString& text, const QString& caption,
                                            UiBoxIcon icon);
// A modal box with an OK button; returns IDOK.
int ShowMessage(QWidget* owner, const QString& text, const QString& caption, UiBoxIcon icon);
// Text and caption are string-table entries; a detail is appended as "\n[detail]".
int ShowResourceMessage(QWidget* owner, int text_id, int caption_id, UiBoxIcon icon, const char* detail);
// Caption 138 "Information", information icon.
int ShowInfoBox(QWidget* owner, int text_id);
// Caption 105 "ERROR !", error icon.
int ShowErrorBox(QWidget* owner, int text_id, const char* detail = nullptr);

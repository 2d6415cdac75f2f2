// The small dialogs: idle time, About, add by UUID, one-line text input.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The index of the minutes list ("5", "8", "10") for an idle limit in seconds.
int IdleMinutesIndex(int max_idle_seconds);
// The minutes of each index.
constexpr int kIdleMinutes[] = {5, 8, 10};
// The UUID rule of the add-by-UUID dialog: OK only for more than this many characters.
constexpr int kUuidMinExclusive = 9;

class CSetIdleDlg : public QDialog {
 public:
  explicit CSetIdleDlg(QWidget* parent = nullptr);
  // IDOK after the new idle limit was stored.
  int DoModal();
  QComboBox* minutes_combo() const { return minutes_; }
  QPushButton* ok_button() const { return ok_; }
  void OnOK();

 private:
  QComboBox* minutes_ = nullptr;
  QPushButton* ok_ = nullptr;
};

class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  int DoModal();
  // Control 1025: the title, a space and the version text.
  QLabel* version_label() const { return text_; }

 private:
  QLabel* text_ = nullptr;
};

class CAccessByUuidDlg : public QDialog {
 public:
  explicit CAccessByUuidDlg(QWidget* parent = nullptr);
  // The controls take the check states set before; on IDOK the fields below hold the user's choice.
  int DoModal();

  std::string m_uuid;
  int m_4g = 0;
  int m_low_power = 0;
  int m_rvs = 0;
  int m_webrtc = 0;
  int m_force_relay = 0;
  int m_webrtc2 = 0;

  QLineEdit* uuid_edit() const { return uuid_; }
  QPushButton* ok_button() const { return ok_; }
  QCheckBox* rvs_check() const { return rvs_; }
  QCheckBox* force_relay_check() const { return relay_; }
  // Takes the check states into the controls (DoModal does this first).
  void OnInitDialog();
  void OnOK();

 private:
  void UpdateOk();
  QLineEdit* uuid_ = nullptr;
  QCheckBox* g4_ = nullptr;
  QCheckBox* low_power_ = nullptr;
  QCheckBox* rvs_ = nullptr;
  QCheckBox* webrtc_ = nullptr;
  QCheckBox* webrtc2_ = nullptr;
  QCheckBox* relay_ = nullptr;
  QPushButton* ok_ = nullptr;
};

class CGetTextDlg : public QDialog {
 public:
  CGetTextDlg(QWidget* parent, const QString& caption, const QString& prompt, const QString& text);
  // Shows the dialog with string-table texts as caption and prompt (an id without an entry: empty) and text
  // in the edit; 1 with the edited text on OK, else 0.
  static int GetText(QWidget* parent, int caption_id, int prompt_id, std::string* text);
  QLineEdit* edit() const { return edit_; }
  QLabel* prompt_label() const { return prompt_; }

 private:
  QLabel* prompt_ = nullptr;
  QLineEdit* edit_ = nullptr;
};

// The log-in dialog: user (with the saved accounts), password, "Save password", and the server environment
// list, hidden unless an environment other than the first is set (Ctrl+Shift+E shows or hides it).
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

class CLoginDlg : public QDialog {
 public:
  explicit CLoginDlg(QWidget* parent = nullptr);
  // IDOK after a successful sign-in (service initialised for the chosen environment, current user set),
  // IDCANCEL otherwise.
  int DoModal();

  // Controls, for the application and its tests.
  QComboBox* user_combo() const { return user_; }
  QLineEdit* password_edit() const { return password_; }
  QCheckBox* save_check() const { return save_; }
  QComboBox* env_combo() const { return env_; }
  QPushButton* login_button() const { return login_; }
  int env_index() const { return env_index_; }

  // The environment list's visibility toggle (the hot key).
  void OnHotKey();
  // The sign-in of the Login button.
  void OnOK();

 private:
  void OnInitDialog();
  void FillUserCombo();
  void OnUserChosen(int index);
  void OnEnvChanged(int index);

  QComboBox* user_ = nullptr;
  QLineEdit* password_ = nullptr;
  QCheckBox* save_ = nullptr;
  QComboBox* env_ = nullptr;
  QPushButton* login_ = nullptr;
  int env_index_ = 0;
  bool filling_ = false;
};

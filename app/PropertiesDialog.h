// The properties dialog: drive, cache size and volume label, applied by the main window.
#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace torvik::app {

class TMainWindow;

class TPropertiesDialog : public QDialog {
 public:
  explicit TPropertiesDialog(TMainWindow* window);

  QComboBox* CBoxCD() const { return FCBoxCD; }
  QComboBox* CBoxCache() const { return FCBoxCache; }
  QLineEdit* EditVolumeID() const { return FEditVolumeID; }
  QPushButton* OkButton() const { return FOk; }
  QPushButton* CancelButton() const { return FCancel; }

  // Copies the window's choices into the dialog.
  void FormShow();
  void Button1Click();
  void Button2Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  TMainWindow* FWindow;
  QComboBox* FCBoxCD;
  QComboBox* FCBoxCache;
  QLineEdit* FEditVolumeID;
  QPushButton* FOk;
  QPushButton* FCancel;
};

}  // namespace torvik::app

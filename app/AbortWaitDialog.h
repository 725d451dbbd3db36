// Shown while a job that the closing window aborted winds down; it cannot be closed by hand.
#pragma once

#include <QDialog>
#include <QTimer>
#include <functional>

class QPushButton;

namespace torvik::app {

class TAbortWaitDialog : public QDialog {
 public:
  // `busy` tells whether the job still runs.
  TAbortWaitDialog(std::function<bool()> busy, QWidget* parent);

  // Shows the dialog modally until the job has ended.
  void Run();
  void TimerCloseTimer();
  void SpBtnOKClick();

 protected:
  void reject() override {}  // Escape does not close it

 private:
  std::function<bool()> FBusy;
  QTimer FTimerClose;
  QPushButton* FSpBtnOK;
};

}  // namespace torvik::app

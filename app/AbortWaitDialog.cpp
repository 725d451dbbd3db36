#include "AbortWaitDialog.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace torvik::app {

TAbortWaitDialog::TAbortWaitDialog(std::function<bool()> busy, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      FBusy(std::move(busy)) {
  setWindowTitle("Warning");
  setFixedSize(294, 122);
  setStyleSheet("QDialog { background: rgb(255,128,128); } QLabel { color: yellow; }");
  auto* layout = new QVBoxLayout(this);
  auto* text = new QLabel("Please wait, Torvik burner is aborting operation!", this);
  text->setAlignment(Qt::AlignCenter);
  text->setWordWrap(true);
  layout->addWidget(text);
  FSpBtnOK = new QPushButton("OK", this);
  FSpBtnOK->setVisible(false);
  layout->addWidget(FSpBtnOK);
  connect(FSpBtnOK, &QPushButton::clicked, this, &TAbortWaitDialog::SpBtnOKClick);
  FTimerClose.setInterval(500);
  connect(&FTimerClose, &QTimer::timeout, this, &TAbortWaitDialog::TimerCloseTimer);
}

void TAbortWaitDialog::Run() {
  FTimerClose.start();
  exec();
  FTimerClose.stop();
}

void TAbortWaitDialog::TimerCloseTimer() { FSpBtnOK->click(); }

void TAbortWaitDialog::SpBtnOKClick() {
  if (!FBusy()) accept();
}

}  // namespace torvik::app

#include "PropertiesDialog.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "MainWindow.h"
#include "Properties.h"

namespace torvik::app {

TPropertiesDialog::TPropertiesDialog(TMainWindow* window)
    : QDialog(window, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      FWindow(window) {
  setWindowTitle("ProgramProperties");
  setObjectName("Form2Prop");
  setFixedSize(258, 276);
  setStyleSheet("QDialog { background: rgb(204,238,238); }"
                " QLabel { color: purple; }"
                " QPushButton { color: rgb(128,0,0); font-weight: bold; }");
  auto* layout = new QVBoxLayout(this);
  auto caption = [this, layout](const char* text, QWidget* field) {
    auto* label = new QLabel(text, this);
    label->setBuddy(field);
    layout->addWidget(label);
    layout->addWidget(field);
  };
  FCBoxCD = new QComboBox(this);
  FCBoxCD->setObjectName("CBoxCD");
  caption("OpticalDriveDevice", FCBoxCD);
  FCBoxCache = new QComboBox(this);
  FCBoxCache->setObjectName("CBoxCache");
  FCBoxCache->addItems({"64", "128", "256", "512"});
  caption("BurnerCacheSize(MB)", FCBoxCache);
  FEditVolumeID = new QLineEdit(kDefaultVolumeLabel, this);
  FEditVolumeID->setObjectName("EditVolumeID");
  caption("BurnerVolumeLabel", FEditVolumeID);
  layout->addStretch();
  auto* buttons = new QHBoxLayout();
  FOk = new QPushButton("OK", this);
  FOk->setDefault(true);
  FCancel = new QPushButton("Cancel", this);
  buttons->addWidget(FOk);
  buttons->addWidget(FCancel);
  layout->addLayout(buttons);
  connect(FOk, &QPushButton::clicked, this, &TPropertiesDialog::Button1Click);
  connect(FCancel, &QPushButton::clicked, this, &TPropertiesDialog::Button2Click);
}

void TPropertiesDialog::showEvent(QShowEvent* event) {
  FormShow();
  QDialog::showEvent(event);
}

void TPropertiesDialog::FormShow() {
  FCBoxCD->clear();
  FCBoxCD->addItems(FWindow->DriveEntries());
  FCBoxCD->setCurrentIndex(FWindow->DriveIndex());
  FCBoxCache->setCurrentIndex(FWindow->CacheIndex());
  FEditVolumeID->setText(FWindow->VolumeLabel());
}

void TPropertiesDialog::Button1Click() {
  FWindow->PropertiesConfirmed(FCBoxCD->currentIndex(), FCBoxCache->currentIndex(),
                               FEditVolumeID->text());
  accept();
}

void TPropertiesDialog::Button2Click() { reject(); }

}  // namespace torvik::app

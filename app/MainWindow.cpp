#include "MainWindow.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QShowEvent>
#include <QTextStream>
#include <QThread>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>
#include <filesystem>
#include <system_error>

#include "AbortWaitDialog.h"
#include "DriveReport.h"
#include "Icons.h"
#include "Properties.h"
#include "PropertiesDialog.h"
#include "device/bvkDeviceTypes.h"
#include "device/bvkMMC.h"

namespace torvik::app {

namespace {

const char* kMaroon = "rgb(128,0,0)";

const char* ColourCss(TMessageColour c) {
  switch (c) {
    case TMessageColour::Red:
      return "rgb(255,0,0)";
    case TMessageColour::Teal:
      return "rgb(0,128,128)";
    case TMessageColour::Maroon:
      break;
  }
  return kMaroon;
}

const QStringList kAudioExtensions = {"wav", "tta", "ogg", "flac", "ape", "mpc",
                                      "wv",  "mp3", "wma", "m4a",  "aac"};

bool IsAudio(const QString& path) {
  return kAudioExtensions.contains(QFileInfo(path).suffix().toLower());
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

// The completion messages of the burner's worker threads, handed to the window's event loop.
class TQtCompletionSink : public TCompletionSink {
 public:
  TQtCompletionSink(QObject* context, TBrenvik& burner) : FContext(context), FBurner(burner) {}
  void Post(uint32_t message, uint64_t wParam, int64_t lParam) override {
    TBrenvik* burner = &FBurner;
    QMetaObject::invokeMethod(
        FContext, [burner, message, wParam, lParam] { burner->DispatchCompletion(message, wParam, lParam); },
        Qt::QueuedConnection);
  }

 private:
  QObject* FContext;
  TBrenvik& FBurner;
};

// The burn list takes drags from the folder tree and the file list, and files and folders
// dropped from the desktop's file manager.
class TBurnListWidget : public QListWidget {
 public:
  TBurnListWidget(TMainWindow* window, QWidget* parent) : QListWidget(parent), FWindow(window) {
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    setDragDropMode(QAbstractItemView::DropOnly);
  }

 protected:
  bool Accepts(const QDropEvent* e) const {
    const QObject* source = e->source();
    if (source == FWindow->FolderTree() || source == FWindow->FolderTree()->viewport() ||
        source == FWindow->FileList() || source == FWindow->FileList()->viewport())
      return true;
    // From outside this program: only local files and folders.
    if (source != nullptr || !e->mimeData()->hasUrls()) return false;
    for (const QUrl& url : e->mimeData()->urls())
      if (url.isLocalFile()) return true;
    return false;
  }
  void dragEnterEvent(QDragEnterEvent* e) override {
    if (Accepts(e)) e->acceptProposedAction(); else e->ignore();
  }
  void dragMoveEvent(QDragMoveEvent* e) override {
    if (Accepts(e)) e->acceptProposedAction(); else e->ignore();
  }
  void dropEvent(QDropEvent* e) override {
    if (!Accepts(e)) {
      e->ignore();
      return;
    }
    const QObject* source = e->source();
    e->acceptProposedAction();
    if (source == FWindow->FolderTree() || source == FWindow->FolderTree()->viewport())
      FWindow->DropFromTree();
    else if (source == FWindow->FileList() || source == FWindow->FileList()->viewport())
      FWindow->DropFromFileList();
    else
      FWindow->DropUrls(e->mimeData()->urls());
  }

 private:
  TMainWindow* FWindow;
};

TMainWindow::TMainWindow(TAppOptions options, QWidget* parent)
    : QMainWindow(parent), FOptions(std::move(options)) {
  setWindowTitle("Torvik");
  setWindowIcon(AppIcon());
  FHooks.Message = [this](const QString& text) { QMessageBox::information(this, "Torvik", text); };
  FHooks.ConfirmAbort = [this](const QString& text) {
    return QMessageBox::question(this, "Torvik", text,
                                 QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) ==
           QMessageBox::Yes;
  };
  FHooks.OpenUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
  FHooks.ChooseFiles = [this](int* filterIndex) {
    QFileDialog dialog(this, "AddFiles to BurnList");
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setOption(QFileDialog::ReadOnly, false);
    const QStringList filters = QString(kAddFilesFilter).split(";;");
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(*filterIndex - 1, filters.first()));
    dialog.selectFile(QString());
    if (dialog.exec() != QDialog::Accepted) return QStringList();
    *filterIndex = int(filters.indexOf(dialog.selectedNameFilter())) + 1;
    if (*filterIndex < 1) *filterIndex = 1;
    return dialog.selectedFiles();
  };
  FHooks.About = [this] {
    QMessageBox box(this);
    box.setWindowTitle("About");
    box.setIconPixmap(AppIcon().pixmap(64, 64));
    box.setText(kAboutText);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
  };
  FHooks.ShowProperties = [this] { FPropDialog->exec(); };
  FHooks.Confirm = [this](const QString& text) {
    return QMessageBox::question(this, "Torvik", text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
  };
  FHooks.ConfirmOverwrite = [this](const QString& text) {
    return QMessageBox::question(this, "Torvik", text,
                                 QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel) ==
           QMessageBox::Yes;
  };
  FHooks.ChooseImageToBurn = [this] {
    return QFileDialog::getOpenFileName(this, QString(), QString(), "ISO9660 Image File (*.ISO *.iso)");
  };
  FHooks.ChooseImageToSave = [this] {
    return QFileDialog::getSaveFileName(this, QString(), QString(), "ISO9660 Image File (*.ISO *.iso)");
  };
  FHooks.WaitForAbort = [this] {
    TAbortWaitDialog wait([this] { return FBurnProgress; }, this);
    wait.Run();
  };

  CreateActions();
  CreateToolBar();
  CreateWorkArea();
  CreateMenu();
  FPropDialog = new TPropertiesDialog(this);
  resize(1084, 600 + menuBar()->sizeHint().height());

  FTimerMess.setInterval(1000);
  connect(&FTimerMess, &QTimer::timeout, this, &TMainWindow::TimerMessTimer);
  FTimerProp.setInterval(100);
  connect(&FTimerProp, &QTimer::timeout, this, &TMainWindow::TimerPropTimer);
  FTimerWrite.setInterval(100);
  connect(&FTimerWrite, &QTimer::timeout, this, &TMainWindow::TimerWriteTimer);
  FTimerErase.setInterval(50);
  connect(&FTimerErase, &QTimer::timeout, this, &TMainWindow::TimerEraseTimer);

  FormCreate();
  if (FOptions.StartupTimer) FTimerMess.start();
}

TMainWindow::~TMainWindow() {
  if (FSummaryCancel) FSummaryCancel->store(true);
  FSummaryFuture.waitForFinished();
  SetBusyPointer(false);
  // A job's completion must not reach a window that is gone.
  FBurner.AbortOperation();
  FBurner.WaitForJob();
  FBurner.SetCompletionSink(nullptr);
}

// ---- construction ----------------------------------------------------------------------------

void TMainWindow::CreateActions() {
  auto action = [this](const char* text, void (TMainWindow::*handler)()) {
    auto* a = new QAction(text, this);
    if (handler != nullptr) connect(a, &QAction::triggered, this, handler);
    return a;
  };
  FMenuAddFile = action("AddFiles to BurnList", &TMainWindow::SpBtnAddFilesClick);
  FMenuQuickErase = action("QuickEraseDisc", &TMainWindow::SpBtnQuickEraseClick);
  FMenuBuildISO = action("BuildISOImageFile", &TMainWindow::SpBtnBuildISOClick);
  FMenuBurnISO = action("BurnISOImage to Disc", &TMainWindow::SpBtnBurnISOClick);
  FMenuTestWrite = action("TestWrite to Disc", &TMainWindow::SpBtnTestWrtClick);
  FMenuTestWrite->setVisible(false);
  FMenuBurnFiles = action("BurnFiles to Disc", &TMainWindow::SpBtnBurnClick);
  FMenuAbortBurner = action("AbortBurnerProgress", &TMainWindow::SpBtnAbortBurnClick);
  FMenuAbortBurner->setEnabled(false);
  FMenuInfo = action("Disc and DriveInfo", &TMainWindow::SpBtnInfoClick);
  FMenuVerify = action("Verify", &TMainWindow::SpBtnVerifyClick);
}

QToolButton* TMainWindow::AddButton(QWidget* group, const char* name, const QString& hint,
                                    const char* icon, void (TMainWindow::*handler)()) {
  auto* b = new QToolButton(group);
  b->setObjectName(name);
  b->setToolTip(hint);
  b->setAccessibleName(hint);
  b->setIcon(ThemedIcon(icon));
  b->setIconSize(QSize(28, 28));
  b->setFixedSize(41, 38);
  b->setAutoRaise(true);
  if (handler != nullptr) connect(b, &QToolButton::clicked, this, handler);
  group->layout()->addWidget(b);
  return b;
}

void TMainWindow::CreateToolBar() {
  auto* bar = new QToolBar("Tools", this);
  bar->setObjectName("ToolBar");
  bar->setMovable(false);
  bar->setFloatable(false);
  addToolBar(bar);
  auto group = [bar](const char* name) {
    auto* w = new QWidget(bar);
    w->setObjectName(name);
    auto* l = new QHBoxLayout(w);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSpacing(0);
    bar->addWidget(w);
    return w;
  };
  FPanelEjectBtns = group("PanelEjectBtns");
  AddButton(FPanelEjectBtns, "SpBtnOpenDrive", "Open drive", "media-eject",
            &TMainWindow::SpBtnOpenDriveClick);
  AddButton(FPanelEjectBtns, "SpBtnCloseDrive", "Close drive/Update drive status.", "view-refresh",
            &TMainWindow::SpBtnCloseDriveClick);
  bar->addSeparator();
  FPanelEraseBtns = group("PanelEraseBtns");
  AddButton(FPanelEraseBtns, "SpBtnQuickErase", "QuickEraseDisc", "edit-clear",
            &TMainWindow::SpBtnQuickEraseClick);
  AddButton(FPanelEraseBtns, "SpBtnFullErase", "FullEraseDisc", "edit-delete",
            &TMainWindow::SpBtnFullEraseClick);
  bar->addSeparator();
  FPanelISOBtns = group("PanelISOBtns");
  AddButton(FPanelISOBtns, "SpBtnAddFiles", "AddFiles to BurnList", "list-add",
            &TMainWindow::SpBtnAddFilesClick);
  AddButton(FPanelISOBtns, "SpBtnBurnCloseFile", "CloseSelectedFile", "list-remove",
            &TMainWindow::SpBtnBurnCloseFileClick);
  AddButton(FPanelISOBtns, "SpBtnClear", "ClearFileList and MessageList", "edit-clear-all",
            &TMainWindow::SpBtnClearClick);
  AddButton(FPanelISOBtns, "SpBtnBuildISO", "BuildISOImageFile", "document-save-as",
            &TMainWindow::SpBtnBuildISOClick);
  bar->addSeparator();
  FPanelBurnBtns = group("PanelBurnBtns");
  FSpBtnTestWrt = AddButton(FPanelBurnBtns, "SpBtnTestWrt", "TestWriteDisc", "tools-check-spelling",
                            &TMainWindow::SpBtnTestWrtClick);
  AddButton(FPanelBurnBtns, "SpBtnBurnISO", "BurnISOImage to Disc.", "media-optical",
            &TMainWindow::SpBtnBurnISOClick);
  AddButton(FPanelBurnBtns, "SpBtnBurn", "BurnFiles to Disc", "media-record",
            &TMainWindow::SpBtnBurnClick);
  FSpBtnInfo = AddButton(FPanelBurnBtns, "SpBtnInfo", "Disc and DriveInfo", "dialog-information",
                         &TMainWindow::SpBtnInfoClick);
  FSpBtnVerify = AddButton(FPanelBurnBtns, "SpBtnVerify", "Verify", "emblem-default",
                           &TMainWindow::SpBtnVerifyClick);
  FSpBtnTestWrt->setVisible(false);
  FSpBtnInfo->setVisible(false);
  FSpBtnVerify->setVisible(false);
  bar->addSeparator();
  FPanelAbort = group("PanelAbort");
  AddButton(FPanelAbort, "SpBtnAbortBurn", "Abort", "process-stop",
            &TMainWindow::SpBtnAbortBurnClick);
  FPanelAbort->setEnabled(false);
  auto* tools = group("PanelHelpProp");
  AddButton(tools, "SpBtnHelp", "Help", "help-contents", &TMainWindow::SpBtnHelpClick);
  AddButton(tools, "SpBtnProp", "ViewProgramProperties", "document-properties",
            &TMainWindow::SpBtnPropClick);

  auto* info = new QWidget(bar);
  info->setObjectName("PanelProgInfo");
  auto* lines = new QVBoxLayout(info);
  lines->setContentsMargins(6, 0, 6, 0);
  lines->setSpacing(0);
  FPanelExecuted = new QLabel(info);
  FPanelExecuted->setObjectName("PanelExecuted");
  FPanelExecuted->setAccessibleName("Executed");
  FPanelSpeed = new QLabel(info);
  FPanelSpeed->setObjectName("PanelSpeed");
  FPanelSpeed->setAccessibleName("Speed");
  for (QLabel* l : {FPanelExecuted, FPanelSpeed}) {
    l->setStyleSheet(QString("color: %1;").arg(kMaroon));
    l->setMinimumWidth(200);
    l->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    lines->addWidget(l);
  }
  info->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  bar->addWidget(info);
  auto* quit = group("PanelQuit");
  AddButton(quit, "SpBtnClose", "Quit", "application-exit", &TMainWindow::SpBtnCloseClick)
      ->setFixedSize(62, 38);
}

void TMainWindow::CreateWorkArea() {
  auto* central = new QWidget(this);
  auto* grid = new QGridLayout(central);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setSpacing(2);
  const QString green = "background: rgb(238,250,231);";
  const QString blue = QString("background: rgb(236,249,255); color: %1;").arg(kMaroon);

  FTreeModel = new QFileSystemModel(this);
  FTreeModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
  FTreeModel->setRootPath("/");
  FTree = new QTreeView(central);
  FTree->setObjectName("LBoxDir");
  FTree->setModel(FTreeModel);
  FTree->setRootIndex(FTreeModel->index("/"));
  for (int c = 1; c < FTreeModel->columnCount(); ++c) FTree->hideColumn(c);
  FTree->header()->hide();
  FTree->setDragEnabled(true);
  FTree->setDragDropMode(QAbstractItemView::DragOnly);
  FTree->setStyleSheet("QTreeView {" + green + "}");
  connect(FTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { SetCurrentFolder(FTreeModel->filePath(current)); });

  FFiles = new QListWidget(central);
  FFiles->setObjectName("LBoxFiles");
  FFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  FFiles->setDragEnabled(true);
  FFiles->setDragDropMode(QAbstractItemView::DragOnly);
  FFiles->setStyleSheet("QListWidget {" + green + "}");

  FBurnList = new TBurnListWidget(this, central);
  FBurnList->setObjectName("LBoxBurnList");
  FBurnList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  FBurnList->setStyleSheet("QListWidget {" + blue + "}");

  FMessages = new QListWidget(central);
  FMessages->setObjectName("LBoxMessages");
  FMessages->setSelectionMode(QAbstractItemView::NoSelection);
  SetMessageColour(TMessageColour::Maroon);

  const std::pair<QWidget*, const char*> lists[] = {
      {FTree, "Drag&DropSelectedFolder to BurnerFileList"},
      {FFiles, "Drag&DropSelectedFiles to BurnerFileList"},
      {FBurnList, "BurnerFileList"},
      {FMessages, "BurnerMessageList"}};
  int column = 0;
  for (const auto& [w, hint] : lists) {
    w->setToolTip(hint);
    w->setAccessibleName(hint);
    w->setMinimumWidth(120);
    grid->addWidget(w, 0, column);
    grid->setColumnStretch(column, 1);
    ++column;
  }

  auto bar = [central](const char* name, const char* accessible, const char* colour) {
    auto* p = new QProgressBar(central);
    p->setObjectName(name);
    p->setAccessibleName(accessible);
    p->setTextVisible(false);
    p->setFixedHeight(16);
    p->setRange(0, 100);
    p->setValue(0);
    p->setStyleSheet(QString("QProgressBar { border: 1px solid gray; background: white; }"
                             " QProgressBar::chunk { background: %1; }")
                         .arg(colour));
    return p;
  };
  FProgressBurner = bar("ProgressBurner", "Burner progress", "rgb(255,128,128)");
  FProgressCachePos = bar("ProgressCachePos", "Cache", "rgb(135,218,80)");
  FProgressDevBuffPos = bar("ProgressDevBuffPos", "Drive buffer", "rgb(117,207,255)");
  grid->addWidget(FProgressBurner, 1, 0, 1, 2);
  grid->addWidget(FProgressCachePos, 1, 2);
  grid->addWidget(FProgressDevBuffPos, 1, 3);
  setCentralWidget(central);
}

void TMainWindow::CreateMenu() {
  QMenu* file = menuBar()->addMenu("File");
  auto* closeSelected = file->addAction("CloseSelectedFile", this, &TMainWindow::SpBtnBurnCloseFileClick);
  closeSelected->setShortcut(QKeySequence(Qt::Key_Delete));
  file->addAction("CloseAllFiles", this, &TMainWindow::SpBtnClearClick);
  file->addAction(FMenuAddFile);
  auto* close = file->addAction("Close", this, &TMainWindow::SpBtnCloseClick);
  close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

  QMenu* view = menuBar()->addMenu("View");
  view->addAction("Properties", this, &TMainWindow::SpBtnPropClick);
  view->addAction(FMenuInfo);

  QMenu* actions = menuBar()->addMenu("Action");
  for (QAction* a : {FMenuQuickErase, FMenuBuildISO, FMenuBurnISO, FMenuTestWrite, FMenuBurnFiles,
                     FMenuAbortBurner, FMenuVerify})
    actions->addAction(a);

  QMenu* help = menuBar()->addMenu("Help");
  help->addAction("OpenHelpFile", this, &TMainWindow::SpBtnHelpClick)->setShortcut(QKeySequence(Qt::Key_F1));
  help->addAction("HomePage", this, &TMainWindow::HomePageClick)
      ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
  help->addAction("Support", this, &TMainWindow::MenuSupportClick);
  help->addAction("Download", this, &TMainWindow::DownloadClick)
      ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
  help->addAction("About...", this, &TMainWindow::AboutClick);
}

void TMainWindow::FormCreate() {
  FAppDir = QCoreApplication::applicationDirPath();
  if (FOptions.TempDir.empty()) {
    // The per-user folder the device layer uses too (made with mode 0700).
    FOptions.TempDir = std::filesystem::path(DefaultDiagLogPath()).parent_path().string();
  }
  FTempDir = Q(FOptions.TempDir);
  if (!QFileInfo(FAppDir).isDir() || !QFileInfo(FTempDir).isDir())
    FHooks.Message("Error loading program file!");

  FBurner.SetBurnProof(false);
  FBurner.SetFinalizeDisc(true);
  FBurner.SetReplaceFile(true);
  FBurner.SetVolumeID(kDefaultVolumeLabel);
  FBurner.SetCacheSize(64);
  FBurner.SetUDFBridge(false);
  FSink = std::make_unique<TQtCompletionSink>(this, FBurner);
  FBurner.SetCompletionSink(FSink.get());
  FBurner.SetOnWriteDone([this](void* sender, uint8_t id, bool failed) { BurnerWriteDone(sender, id, failed); });
  FBurner.SetOnEraseDone([this](void* sender, uint8_t id, bool failed) { BurnerEraseDone(sender, id, failed); });
  FBurner.SetOnVerifyDone([this](void* sender, uint8_t id, int32_t file, bool failed) {
    BurnerVerifyDone(sender, id, file, failed);
  });

  if (!FOptions.SysfsRoot.empty()) FBurner.Device.Setup.SysfsRoot = FOptions.SysfsRoot;
  for (const std::string& path : FOptions.VirtualDrives) FBurner.AddVirtualDrive(path);
  // One enumeration gives both lists: entry i of the drive list is device i of the burner.
  const std::string log = (std::filesystem::path(FOptions.TempDir) / "TorvikBurner.log").string();
  FBurner.InitializeASPI(false, "", log);
  for (uint8_t i = 0; i < FBurner.DeviceCount(); ++i) {
    FDriveEntries << Q(DriveEntryText(FBurner.Device.Devices[i].DriveLetter));
    FBurnTargets << Q(FBurner.GetDeviceName(i));
  }
  FDriveIndex = FDriveEntries.isEmpty() ? -1 : 0;
  FBurnTargets << kSaveImageEntry;
  FBurnTargetIndex = 0;
  FBurner.SelectDevice(uint8_t(FBurner.DeviceCount()));
  FBurnTargetIndex = int(FBurnTargets.size()) - 1;
  FBurner.UnlockDrive();

  FBurner.SetTestWrite(false);
  FBurner.SetUDFBridge(true);
  FBurner.SetFinalizeDisc(true);
  FBurner.SetJolietFileSystem(true);
}

void TMainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!FShown) {
    FShown = true;
    FormShow();
  }
}

void TMainWindow::FormShow() {
  ReadPropFile();
  UpdateDriveState();
  const QString start = FOptions.StartFolder.empty() ? QDir::homePath() : Q(FOptions.StartFolder);
  const QModelIndex home = FTreeModel->index(start);
  FTree->setCurrentIndex(home);
  FTree->scrollTo(home);
  SetCurrentFolder(start);
  FBurnList->setFocus();
}

void TMainWindow::SetCurrentFolder(const QString& folder) {
  FCurrentFolder = folder;
  FFiles->clear();
  QDir dir(folder);
  for (const QString& name : dir.entryList(QDir::Files, QDir::Name | QDir::IgnoreCase))
    FFiles->addItem(name);
}

// ---- messages --------------------------------------------------------------------------------

void TMainWindow::ClearMessages() { FMessages->clear(); }

void TMainWindow::AddMessage(const QString& line) { FMessages->addItem(line); }

void TMainWindow::SetMessageColour(TMessageColour colour) {
  FMessageColour = colour;
  FMessages->setStyleSheet(
      QString("QListWidget { background: rgb(236,249,255); color: %1; }").arg(ColourCss(colour)));
}

QStringList TMainWindow::Messages() const {
  QStringList lines;
  for (int i = 0; i < FMessages->count(); ++i) lines << FMessages->item(i)->text();
  return lines;
}

QStringList TMainWindow::BurnListNames() const {
  QStringList names;
  for (int i = 0; i < FBurnList->count(); ++i) names << FBurnList->item(i)->text();
  return names;
}

QListWidget* TMainWindow::BurnList() const { return FBurnList; }

void TMainWindow::AppendStatusLine() {
  const QString status = Q(StatusText(FBurner.ComponentStatus()));
  const int n = FMessages->count();
  if (n > 0 && FMessages->item(n - 1)->text() == status) return;
  AddMessage(status);
}

// ---- enabling --------------------------------------------------------------------------------

void TMainWindow::ApplyEnabling(const TActionEnabling& e) {
  FPanelAbort->setEnabled(e.PanelAbort);
  FPanelEraseBtns->setEnabled(e.PanelEraseBtns);
  FPanelEjectBtns->setEnabled(e.PanelEjectBtns);
  FPanelISOBtns->setEnabled(e.PanelISOBtns);
  FPanelBurnBtns->setEnabled(e.PanelBurnBtns);
  FMenuAbortBurner->setEnabled(e.MenuAbortBurner);
  FMenuAddFile->setEnabled(e.MenuAddFile);
  FMenuQuickErase->setEnabled(e.MenuQuickErase);
  FMenuBuildISO->setEnabled(e.MenuBuildISO);
  FMenuBurnISO->setEnabled(e.MenuBurnISO);
  FMenuTestWrite->setEnabled(e.MenuTestWrite);
  FMenuTestWriteEnabled = e.MenuTestWrite;
  FMenuBurnFiles->setEnabled(e.MenuBurnFiles);
  // The two items that reach the hidden buttons follow the buttons' group.
  FMenuInfo->setEnabled(e.PanelBurnBtns);
  FMenuVerify->setEnabled(e.PanelBurnBtns);
}

TActionEnabling TMainWindow::Enabling() const {
  TActionEnabling e;
  e.PanelAbort = FPanelAbort->isEnabled();
  e.PanelEraseBtns = FPanelEraseBtns->isEnabled();
  e.PanelEjectBtns = FPanelEjectBtns->isEnabled();
  e.PanelISOBtns = FPanelISOBtns->isEnabled();
  e.PanelBurnBtns = FPanelBurnBtns->isEnabled();
  e.MenuAbortBurner = FMenuAbortBurner->isEnabled();
  e.MenuAddFile = FMenuAddFile->isEnabled();
  e.MenuQuickErase = FMenuQuickErase->isEnabled();
  e.MenuBuildISO = FMenuBuildISO->isEnabled();
  e.MenuBurnISO = FMenuBurnISO->isEnabled();
  // A hidden action reports itself disabled; its own setting is kept aside.
  e.MenuTestWrite = FMenuTestWriteEnabled;
  e.MenuBurnFiles = FMenuBurnFiles->isEnabled();
  return e;
}

void TMainWindow::DisableActions() {
  TActionEnabling e = ActionsDisabled(FPanelEjectBtns->isEnabled());
  ApplyEnabling(e);
}

// ---- drive panel -----------------------------------------------------------------------------

void TMainWindow::CBoxCDChange() {
  if (FDriveIndex < 0 || FDriveIndex >= FDriveEntries.size() || FBurnProgress) return;
  FBurnTargetIndex = FDriveIndex;
  CBoxBurnDriveChange();
  if (FBurner.DeviceCan(DC_UNDERRUNPROTECTION)) FBurner.SetBurnProof(true);
  UpdateDriveState();
}

void TMainWindow::CBoxBurnDriveChange() {
  if (FBurnTargetIndex < 0 || FBurnTargetIndex >= FBurnTargets.size() - 1) return;
  FBurner.SelectDevice(uint8_t(FBurnTargetIndex));
  // The virtual drive has no mechanism to leave alone while it formats.
  if (FBurner.Device.DriveIsVirtual) FBurner.Device.Setup.NotReadyPollMs = 100;
  if (FBurner.DeviceIsBurner()) {
    UpdateDriveState();
    return;
  }
  TActionEnabling e;
  e.PanelISOBtns = e.MenuAddFile = !FDriveEntries.isEmpty();
  ApplyEnabling(e);
}

void TMainWindow::ReadSelectedDrive() {
  FDriveLetter = FDriveIndex >= 0 && FDriveIndex < FDriveEntries.size()
                     ? DriveIdFromEntry(FDriveEntries[FDriveIndex].toStdString())
                     : std::string();
  FDiscInDrv = DiscPresent(FDriveLetter);
}

bool TMainWindow::DiscPresent(const std::string& id) {
  // An id the enumeration does not know is a drive without a disc.
  for (uint8_t i = 0; i < FBurner.DeviceCount(); ++i) {
    if (FBurner.Device.Devices[i].DriveLetter != id) continue;
    if (FBurner.Device.DriveLetter != id && !FBurner.SelectDevice(i)) return false;
    return FBurner.TestUnitReady();
  }
  return false;
}

void TMainWindow::UpdateDriveState() {
  if (FBurnProgress) return;
  if (!FUpdateProg) ClearMessages();
  ReadSelectedDrive();
  TDriveAnswers a;
  a.HasDrive = !FDriveEntries.isEmpty();
  if (a.HasDrive) {
    a.CanTestWrite = FBurner.DeviceCan(DC_TEST_WRITE);
    if (a.CanTestWrite) {
      a.UnitReady = FBurner.TestUnitReady();
      if (a.UnitReady) {
        a.Sessions = FBurner.SessionsOnDisc();
        a.Writable = FBurner.Writable();
        if (a.Sessions != 0) a.Erasable = FBurner.Erasable();
      }
    }
    a.ComponentStatus = FBurner.ComponentStatus();
  }
  const TDriveView view = ClassifyDrive(a);
  if (view.ClearFirst) ClearMessages();
  ApplyEnabling(view.Enabling);
  SetMessageColour(view.Colour);
  if (view.StatusLine) AppendStatusLine();
  for (const std::string& line : view.Lines) AddMessage(Q(line));
}

void TMainWindow::Settle() {
  if (FOptions.SettleMs > 0) QThread::msleep(FOptions.SettleMs);
}

void TMainWindow::RefreshDrive() {
  if (FBurnProgress) return;
  if (FDriveEntries.size() < 2) {
    Settle();
    CBoxCDChange();
  } else {
    // Reading another drive first makes the system look at this one afresh.
    const int p = FDriveIndex;
    Settle();
    FDriveIndex = p == 0 ? 1 : p - 1;
    CBoxCDChange();
    Settle();
    FDriveIndex = p;
    CBoxCDChange();
  }
  UpdateDriveState();
}

bool TMainWindow::OpenTray(const std::string& id) {
  if (FBurner.Device.DriveLetter != id && !FBurner.SelectDeviceByLetter(id)) return false;
  return torvik::OpenTray(FBurner.Device);
}

bool TMainWindow::CloseTray(const std::string& id) {
  if (FBurner.Device.DriveLetter != id && !FBurner.SelectDeviceByLetter(id)) return false;
  return torvik::CloseTray(FBurner.Device);
}

void TMainWindow::SpBtnOpenDriveClick() {
  if (FDriveIndex < 0 || FBurnProgress) return;
  OpenTray(FDriveLetter);
  ClearMessages();
  AddMessage("The disc tray is ejected.");
  SetMessageColour(TMessageColour::Maroon);
  DisableActions();
}

void TMainWindow::SpBtnCloseDriveClick() {
  if (FDriveIndex < 0 || FBurnProgress) return;
  SetBusyPointer(true);
  const int n = FMessages->count();
  if (n > 0 && FMessages->item(n - 1)->text() == "The disc tray is ejected.") DisableActions();
  CloseTray(FDriveLetter);
  RefreshDrive();
  AddMessage("The disc tray is closed.");
  SetBusyPointer(FSummaryPending);
}

void TMainWindow::SpBtnInfoClick() {
  if (FBurnProgress) return;
  ClearMessages();
  SetMessageColour(TMessageColour::Maroon);
  for (const std::string& line : DriveReportLines(FBurner)) AddMessage(Q(line));
}

// ---- burn list -------------------------------------------------------------------------------

bool TMainWindow::AddEntry(const QString& path, bool folder) {
  const std::string p = path.toStdString();
  if (const auto refusal = LengthCheck(p, folder)) {
    FHooks.Message(Q(*refusal));
    return false;
  }
  FShortCuts << path;
  FBurnList->addItem(Q(DisplayName(p, folder)));
  return true;
}

void TMainWindow::SelectFirstEntry() {
  FBurnList->clearSelection();
  if (FBurnList->count() > 0) {
    FBurnList->setCurrentRow(0);
    FBurnList->item(0)->setSelected(true);
  }
}

void TMainWindow::AfterAdding() {
  ClearMessages();
  SetMessageColour(TMessageColour::Maroon);
  UpdateBurnListSummary();
  SelectFirstEntry();
}

void TMainWindow::SpBtnAddFilesClick() {
  if (FBurnProgress) return;
  int filter = FFilterIndex;
  const QStringList files = FHooks.ChooseFiles(&filter);
  FFilterIndex = filter;
  if (files.isEmpty() || !QFileInfo::exists(files.first())) return;
  AddChosenFiles(files, filter);
}

void TMainWindow::AddChosenFiles(const QStringList& files, int filterIndex) {
  SetBusyPointer(true);
  for (const QString& file : files) {
    if (filterIndex == 1) {
      if (IsAudio(file)) AddEntry(file, false);
    } else if (filterIndex == 2) {
      if (QFileInfo(file).suffix().toLower() != "slist") continue;
      QFile list(file);
      if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) continue;
      QStringList lines;
      QTextStream in(&list);
      while (!in.atEnd()) lines << in.readLine();
      // Only the first half of a playlist's lines names files.
      for (int i = 0; i < lines.size() / 2; ++i)
        if (IsAudio(lines[i])) AddEntry(lines[i], false);
    } else {
      AddEntry(file, false);
    }
  }
  AfterAdding();
  SetBusyPointer(FSummaryPending);
}

void TMainWindow::DropFromTree() {
  if (FBurnProgress) return;
  const QModelIndex current = FTree->currentIndex();
  if (!current.isValid()) return;
  SetBusyPointer(true);
  AddEntry(Q(WithoutTrailingSlash(FTreeModel->filePath(current).toStdString())), true);
  AfterAdding();
  SetBusyPointer(FSummaryPending);
}

void TMainWindow::DropFromFileList() {
  if (FBurnProgress) return;
  const QString folder = Q(WithoutTrailingSlash(FCurrentFolder.toStdString()));
  for (int i = 0; i < FFiles->count(); ++i) {
    if (!FFiles->item(i)->isSelected()) continue;
    AddEntry((folder == "/" ? folder : folder + "/") + FFiles->item(i)->text(), false);
  }
  AfterAdding();
}

void TMainWindow::DropUrls(const QList<QUrl>& urls) {
  if (FBurnProgress) return;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
    const QString path = Q(WithoutTrailingSlash(url.toLocalFile().toStdString()));
    const QFileInfo info(path);
    if (!info.exists()) continue;
    AddEntry(path, info.isDir());
  }
  AfterAdding();
}

void TMainWindow::SpBtnBurnCloseFileClick() {
  if (FBurnProgress || FBurnList->count() == 0) return;
  for (int i = FBurnList->count() - 1; i >= 0; --i) {
    if (!FBurnList->item(i)->isSelected()) continue;
    delete FBurnList->takeItem(i);
    FShortCuts.removeAt(i);
  }
  const int position = FBurnList->currentRow();
  FBurnList->clearSelection();
  if (FBurnList->count() > 0) {
    const int row = position >= 1 && position < FBurnList->count() ? position : 0;
    FBurnList->setCurrentRow(row);
    FBurnList->item(row)->setSelected(true);
  }
  ClearMessages();
  SetMessageColour(TMessageColour::Maroon);
  UpdateBurnListSummary();
}

void TMainWindow::SpBtnClearClick() {
  if (!FBurnProgress) {
    if (FSummaryCancel) FSummaryCancel->store(true);
    ++FSummaryGeneration;
    FSummaryPending = false;
    SetBusyPointer(false);
    FBurnList->clear();
    FShortCuts.clear();
    FTotAddSize = 0;
  }
  ClearMessages();
  SetMessageColour(TMessageColour::Maroon);
}

void TMainWindow::SetBusyPointer(bool busy) {
  if (busy == FBusyPointer) return;
  FBusyPointer = busy;
  if (busy)
    QApplication::setOverrideCursor(Qt::BusyCursor);
  else
    QApplication::restoreOverrideCursor();
}

void TMainWindow::UpdateBurnListSummary() {
  UpdateDriveState();
  FTotAddSize = 0;
  if (FSummaryCancel) FSummaryCancel->store(true);
  const uint64_t generation = ++FSummaryGeneration;
  FSummaryPending = false;
  if (FShortCuts.isEmpty()) {
    SetBusyPointer(false);
    return;
  }
  // A folder of many files takes a while to count; the window stays responsive meanwhile.
  std::vector<std::string> paths;
  for (const QString& p : FShortCuts) paths.push_back(p.toStdString());
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  FSummaryCancel = cancel;
  SetBusyPointer(true);
  FSummaryPending = true;
  FSummaryFuture = QtConcurrent::run([paths = std::move(paths), cancel] {
    return ListedBytes(paths, cancel.get());
  });
  FSummaryFuture.then(this, [this, generation](uint64_t bytes) { SummaryCounted(generation, bytes); });
}

void TMainWindow::SummaryCounted(uint64_t generation, uint64_t bytes) {
  if (generation != FSummaryGeneration) return;
  FSummaryPending = false;
  SetBusyPointer(false);
  FTotAddSize = double(bytes) / 1024 / 1024;
  ClearMessages();
  SetMessageColour(TMessageColour::Maroon);
  TDiscSpace disc;
  if (FTotAddSize > 0) {
    disc.Writable = FBurner.Writable();
    disc.Sessions = FBurner.SessionsOnDisc();
    if (disc.Writable && disc.Sessions == 0) disc.FreeBlocks = FBurner.FreeBlocksOnDisc();
  }
  for (const std::string& line : SummaryLines(FTotAddSize, size_t(FShortCuts.size()), disc))
    AddMessage(Q(line));
  emit SummaryUpdated();
}

// ---- properties ------------------------------------------------------------------------------

std::string TMainWindow::PropertiesPath() const {
  return FOptions.PropertiesPath.empty() ? DefaultPropertiesPath() : FOptions.PropertiesPath;
}

QString TMainWindow::VolumeLabel() const { return QString::fromStdU16String(FBurner.VolumeIDW()); }

void TMainWindow::ReadPropFile() {
  const TPropertiesRead read = ReadPropertiesFile(PropertiesPath());
  const TProperties& p = read.Properties;
  if (read.State == TPropertiesFileState::Valid) {
    if (p.DriveIndex < FDriveEntries.size()) {
      FDriveIndex = p.DriveIndex >= 0 ? p.DriveIndex : -1;
      if (FDriveIndex < 0 && !FDriveEntries.isEmpty()) FDriveIndex = 0;
      CBoxCDChange();
    }
  } else {
    FDriveIndex = FDriveEntries.isEmpty() ? -1 : 0;
    CBoxCDChange();
    FChooseProp = true;
  }
  FCacheIndex = p.CacheIndex;
  CBoxCacheChange();
  FBurner.SetVolumeID("");
  FBurner.SetVolumeIDW(QString::fromStdString(p.VolumeLabel).toStdU16String());
  FFilterIndex = p.FilterIndex;
}

void TMainWindow::WritePropFile() {
  TProperties p;
  p.DriveIndex = FDriveIndex;
  p.CacheIndex = FCacheIndex;
  p.VolumeLabel = VolumeLabel().toStdString();
  p.FilterIndex = FFilterIndex;
  WritePropertiesFile(PropertiesPath(), p);
}

void TMainWindow::CBoxCacheChange() {
  const int megabytes = CacheMegabytes(FCacheIndex);
  if (megabytes == 0) return;
  FCacheSize = megabytes;
  FBurner.SetCacheSize(uint32_t(megabytes));
}

void TMainWindow::SpBtnPropClick() {
  if (FBurnProgress) {
    FHooks.Message("Torvik is busy, please try again later.");
    return;
  }
  FHooks.ShowProperties();
}

void TMainWindow::PropertiesConfirmed(int driveIndex, int cacheIndex, const QString& label) {
  if (driveIndex == FDriveIndex && cacheIndex == FCacheIndex && label == VolumeLabel()) {
    WritePropFile();
    return;
  }
  FPendingDrive = driveIndex;
  FPendingCache = cacheIndex;
  FPendingLabel = label;
  FPropTag = 0;
  FTimerProp.start();
}

void TMainWindow::TimerPropTimer() {
  ++FPropTag;
  if (FPropTag == 2) {
    FDriveIndex = FPendingDrive;
    CBoxCDChange();
    FCacheIndex = FPendingCache;
    CBoxCacheChange();
    FBurner.SetVolumeIDW(FPendingLabel.toStdU16String());
  } else if (FPropTag == 3) {
    WritePropFile();
  } else if (FPropTag > 3) {
    FPropTag = 0;
    FTimerProp.stop();
  }
}

// ---- start-up, closing, help -----------------------------------------------------------------

void TMainWindow::TimerMessTimer() {
  const bool free = !FPropDialog->isVisible() && !FDlgBox;
  for (;;) {
    switch (FMessStage) {
      case 0:
        FMessStage = 1;
        continue;
      case 1:
        if (FDriveEntries.isEmpty()) {
          if (!free) return;
          FDlgBox = true;
          FHooks.Message("There is no optical disc drive installed on your computer.");
          FDlgBox = false;
        }
        FMessStage = 2;
        continue;
      case 2:
        if (FChooseProp) {
          if (FPropDialog->isVisible() || FDlgBox) return;
          FDlgBox = true;
          FChooseProp = false;
          FHooks.Message("Please select program properties for TorvikBurner.");
          SpBtnPropClick();
          FDlgBox = false;
        }
        FMessStage = 3;
        continue;
      default:
        FMessStage = 0;
        FTimerMess.stop();
        FDlgBox = false;
        return;
    }
  }
}

void TMainWindow::SpBtnCloseClick() {
  if (FBurnProgress && !FHooks.ConfirmAbort("Burner is in progress. Do you want to abort the operation?"))
    return;
  close();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
  if (FBurnProgress) {
    FBurner.AbortOperation();
    FHooks.WaitForAbort();
  }
  WritePropFile();
  std::error_code ec;
  std::filesystem::remove(std::filesystem::path(FOptions.TempDir) / "TorvikISO.iso", ec);
  event->accept();
}

void TMainWindow::SpBtnHelpClick() {
  FHooks.OpenUrl(QUrl::fromLocalFile(FAppDir + "/TorvikQuickStart.pdf").toString());
}

void TMainWindow::MenuSupportClick() {
  std::vector<std::string> lines;
  for (const QString& l : Memo1) lines.push_back(l.toStdString());
  FHooks.OpenUrl(Q(SupportMailLink(TORVIK_SUPPORT_MAIL, lines)));
}

void TMainWindow::HomePageClick() { FHooks.OpenUrl(TORVIK_HOME_URL); }

void TMainWindow::DownloadClick() { FHooks.OpenUrl(TORVIK_DOWNLOAD_URL); }

void TMainWindow::AboutClick() { FHooks.About(); }

}  // namespace torvik::app

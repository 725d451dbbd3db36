// The window driven offscreen on virtual drives: its controls, the drive states and what they
// enable, the burn list with its summary, tray control, the drive report and the properties.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileSystemModel>
#include <QLabel>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <fstream>
#include <memory>

#include "AbortWaitDialog.h"
#include "MainWindow.h"
#include "Properties.h"
#include "PropertiesDialog.h"
#include "burner/bvkCDBurner.h"
#include "common/scratch_dir.h"
#include "emulator/VirtualDrive.h"

namespace torvik::app {
namespace {

namespace fs = std::filesystem;

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "test_app_window";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};
const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

enum class Disc { BlankDvdPlusR, AppendableCdR, BdRe, NoDisc, TrayOpen, NoTestWrite };

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = torvik::testing::FreshScratchDir("appwin");
    fs::create_directories(dir_ / "sys");
    fs::create_directories(dir_ / "cache");
  }

  std::string Drive(const std::string& name, Disc disc) {
    const std::string path = (dir_ / name).string();
    static const char* const kProfiles[] = {"dvd+r", "cd-r", "bd-re", "dvd+r", "dvd+r", "dvd+r"};
    std::string error;
    vdrive::CreateOptions options;
    options.config.longOpPolls = 0;
    auto drive = vdrive::VirtualDrive::Create(path, kProfiles[int(disc)], options, &error);
    EXPECT_TRUE(drive) << error;
    EXPECT_TRUE(drive->Update(
        [disc](vdrive::MediumState& m) {
          m.mediumPresent = disc != Disc::NoDisc && disc != Disc::TrayOpen;
          m.trayOpen = disc == Disc::TrayOpen;
          m.config.testWrite = disc != Disc::NoTestWrite;
        },
        &error))
        << error;
    drive.reset();
    if (disc == Disc::AppendableCdR) BurnOneSession(path);
    return path;
  }

  // One session left open, written as the engine writes it.
  void BurnOneSession(const std::string& path) {
    const fs::path source = dir_ / "session.txt";
    std::ofstream(source) << "first session";
    TBrenvik b;
    b.Device.Setup.SysfsRoot = (dir_ / "sys").string();
    b.AddVirtualDrive(path);
    ASSERT_TRUE(b.InitializeASPI(false, "", ""));
    ASSERT_TRUE(b.SelectDevice(0));
    b.SetFinalizeDisc(false);
    ASSERT_TRUE(b.InsertFile("\\", source.string()));
    ASSERT_GT(b.Prepare(), 0u);
    TCompletionQueue queue(b);
    b.SetCompletionSink(&queue);
    bool failed = true;
    b.SetOnWriteDone([&](void*, uint8_t, bool f) { failed = f; });
    ASSERT_TRUE(b.Burn());
    queue.WaitAndDispatch();
    b.WaitForJob();
    b.SetCompletionSink(nullptr);
    ASSERT_FALSE(failed);
  }

  TMainWindow& Open(std::vector<std::string> drives, bool show = true) {
    TAppOptions o;
    o.VirtualDrives = std::move(drives);
    o.PropertiesPath = PropertiesFile().string();
    o.TempDir = (dir_ / "cache").string();
    o.SysfsRoot = (dir_ / "sys").string();
    o.StartFolder = dir_.string();
    o.SettleMs = 0;
    o.StartupTimer = false;
    window_ = std::make_unique<TMainWindow>(o);
    TDialogHooks& h = window_->Hooks();
    h.Message = [this](const QString& text) { boxes_ << text; };
    h.OpenUrl = [this](const QString& url) { urls_ << url; };
    h.ShowProperties = [this] { ++propertiesShown_; };
    h.About = [] {};
    h.ConfirmAbort = [](const QString&) { return false; };
    h.WaitForAbort = [] {};
    if (show) window_->show();
    return *window_;
  }

  fs::path PropertiesFile() const { return dir_ / "config" / "QXRegistration" / "TorvikProperties"; }

  void WaitForSummary() {
    if (!window_->SummaryPending()) return;
    QSignalSpy done(window_.get(), &TMainWindow::SummaryUpdated);
    ASSERT_TRUE(done.wait(20000));
  }

  std::string File(const std::string& name, size_t bytes) {
    const fs::path p = dir_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << std::string(bytes, 'x');
    return p.string();
  }

  fs::path dir_;
  std::unique_ptr<TMainWindow> window_;
  QStringList boxes_, urls_;
  int propertiesShown_ = 0;
};

template <typename T>
T* Child(QWidget& w, const char* name) {
  T* c = w.findChild<T*>(name);
  EXPECT_NE(c, nullptr) << name;
  return c;
}

TEST_F(Window, ControlsCarryTheirHintsAndStartVisibility) {
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  EXPECT_EQ(w.windowTitle(), "Torvik");
  const struct {
    const char* name;
    const char* hint;
    bool visible;
  } buttons[] = {{"SpBtnOpenDrive", "Open drive", true},
                 {"SpBtnCloseDrive", "Close drive/Update drive status.", true},
                 {"SpBtnQuickErase", "QuickEraseDisc", true},
                 {"SpBtnFullErase", "FullEraseDisc", true},
                 {"SpBtnAddFiles", "AddFiles to BurnList", true},
                 {"SpBtnBurnCloseFile", "CloseSelectedFile", true},
                 {"SpBtnClear", "ClearFileList and MessageList", true},
                 {"SpBtnBuildISO", "BuildISOImageFile", true},
                 {"SpBtnTestWrt", "TestWriteDisc", false},
                 {"SpBtnBurnISO", "BurnISOImage to Disc.", true},
                 {"SpBtnBurn", "BurnFiles to Disc", true},
                 {"SpBtnInfo", "Disc and DriveInfo", false},
                 {"SpBtnVerify", "Verify", false},
                 {"SpBtnAbortBurn", "Abort", true},
                 {"SpBtnHelp", "Help", true},
                 {"SpBtnProp", "ViewProgramProperties", true},
                 {"SpBtnClose", "Quit", true}};
  for (const auto& b : buttons) {
    auto* button = Child<QToolButton>(w, b.name);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->toolTip(), b.hint);
    EXPECT_EQ(button->accessibleName(), b.hint);
    EXPECT_EQ(button->isVisible(), b.visible) << b.name;
    EXPECT_FALSE(button->icon().isNull()) << b.name;
  }
  EXPECT_FALSE(Child<QWidget>(w, "PanelAbort")->isEnabled());
  const std::pair<const char*, const char*> lists[] = {
      {"LBoxDir", "Drag&DropSelectedFolder to BurnerFileList"},
      {"LBoxFiles", "Drag&DropSelectedFiles to BurnerFileList"},
      {"LBoxBurnList", "BurnerFileList"},
      {"LBoxMessages", "BurnerMessageList"},
      {"ProgressBurner", "Burner progress"},
      {"ProgressCachePos", "Cache"},
      {"ProgressDevBuffPos", "Drive buffer"},
      {"PanelExecuted", "Executed"},
      {"PanelSpeed", "Speed"}};
  for (const auto& [name, accessible] : lists)
    EXPECT_EQ(Child<QWidget>(w, name)->accessibleName(), accessible);

  // Menus in order, with their shortcuts.
  QStringList items;
  for (QAction* menu : w.menuBar()->actions()) {
    items << menu->text();
    for (QAction* a : menu->menu()->actions())
      items << "  " + a->text() + (a->shortcut().isEmpty() ? "" : " " + a->shortcut().toString()) +
                   (a->isVisible() ? "" : " (hidden)");
  }
  EXPECT_EQ(items, QStringList({"File", "  CloseSelectedFile Del", "  CloseAllFiles",
                                "  AddFiles to BurnList", "  Close Ctrl+Q", "View", "  Properties",
                                "  Disc and DriveInfo", "Action", "  QuickEraseDisc",
                                "  BuildISOImageFile", "  BurnISOImage to Disc",
                                "  TestWrite to Disc (hidden)", "  BurnFiles to Disc",
                                "  AbortBurnerProgress", "  Verify", "Help", "  OpenHelpFile F1",
                                "  HomePage Ctrl+W", "  Support", "  Download Ctrl+D",
                                "  About..."}));
}

TEST_F(Window, DriveStateEnablesTheGroups) {
  const struct {
    const char* name;
    Disc disc;
    TActionEnabling enabling;
    TMessageColour colour;
    QStringList lines;
  } cases[] = {
      {"blank DVD+R", Disc::BlankDvdPlusR, AllOpen(), TMessageColour::Maroon, {"Burner is ready."}},
      {"appendable CD-R", Disc::AppendableCdR, AllOpen(), TMessageColour::Red,
       {"The inserted disc is not writable.", "Only ISO image file building is possible."}},
      {"BD-RE", Disc::BdRe, AllOpen(), TMessageColour::Maroon, {"Burner is ready."}},
      {"no disc", Disc::NoDisc, AllOpen(), TMessageColour::Red,
       {"Burner is ready.", "Drive empty or tray ejected.", "Only ISO image file building possible."}},
      {"tray open", Disc::TrayOpen, AllOpen(), TMessageColour::Red,
       {"Burner is ready.", "Drive empty or tray ejected.", "Only ISO image file building possible."}},
      {"no test write", Disc::NoTestWrite, ImageOnly(), TMessageColour::Red,
       {"Burner is ready.", "Virtual or not supported optical drive.",
        "Only ISO image file building possible."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TMainWindow& w = Open({Drive(c.name, c.disc)});
    EXPECT_EQ(w.DriveEntries(), QStringList{"Optical drive  (vd0)"});
    EXPECT_EQ(w.DriveLetter(), "vd0");
    EXPECT_EQ(w.Enabling(), c.enabling);
    EXPECT_EQ(w.MessageColour(), c.colour);
    EXPECT_EQ(w.Messages(), c.lines);
  }
}

TEST_F(Window, NoDriveAtAll) {
  TMainWindow& w = Open({});
  EXPECT_TRUE(w.DriveEntries().isEmpty());
  EXPECT_EQ(w.DriveIndex(), -1);
  EXPECT_EQ(w.BurnTargets(), QStringList{"Save ISO image"});
  EXPECT_EQ(w.Enabling(), TActionEnabling{});
  EXPECT_EQ(w.MessageColour(), TMessageColour::Red);
  EXPECT_EQ(w.Messages(), QStringList({"There is no optical disc drive installed on your computer.",
                                       "Burner is not ready!"}));
  EXPECT_FALSE(w.DiscPresent("vd0"));
  // The start-up messages: no drive, then no properties; each once.
  w.TimerMessTimer();
  EXPECT_EQ(boxes_, QStringList({"There is no optical disc drive installed on your computer.",
                                 "Please select program properties for TorvikBurner."}));
  EXPECT_EQ(propertiesShown_, 1);
  EXPECT_EQ(w.StartupStage(), 0);
}

TEST_F(Window, TwoDrivesListedInEnumerationOrder) {
  TMainWindow& w = Open({Drive("a", Disc::BlankDvdPlusR), Drive("b", Disc::BdRe)});
  EXPECT_EQ(w.DriveEntries(), QStringList({"Optical drive  (vd0)", "Optical drive  (vd1)"}));
  ASSERT_EQ(w.BurnTargets().size(), 3);
  EXPECT_EQ(w.BurnTargets()[2], "Save ISO image");
  EXPECT_EQ(w.BurnTargets()[0].toStdString(), w.Burner().GetDeviceName(0));
  // Close drive re-reads through the other drive and ends on the selected one.
  w.SetDriveIndex(1);
  w.CBoxCDChange();
  QTest::mouseClick(Child<QToolButton>(w, "SpBtnCloseDrive"), Qt::LeftButton);
  EXPECT_EQ(w.DriveIndex(), 1);
  EXPECT_EQ(w.Burner().Device.DriveLetter, "vd1");
  EXPECT_EQ(w.Messages().last(), "The disc tray is closed.");
}

TEST_F(Window, TrayOpensAndCloses) {
  const std::string path = Drive("d", Disc::BlankDvdPlusR);
  TMainWindow& w = Open({path});
  auto trayOpen = [&] {
    std::string error;
    auto d = vdrive::VirtualDrive::Open(path, &error);
    return d && d->State().trayOpen;
  };
  QTest::mouseClick(Child<QToolButton>(w, "SpBtnOpenDrive"), Qt::LeftButton);
  EXPECT_TRUE(trayOpen());
  EXPECT_EQ(w.Messages(), QStringList{"The disc tray is ejected."});
  EXPECT_EQ(w.Enabling(), ActionsDisabled(true));
  QTest::mouseClick(Child<QToolButton>(w, "SpBtnCloseDrive"), Qt::LeftButton);
  EXPECT_FALSE(trayOpen());
  EXPECT_EQ(w.Messages(), QStringList({"Burner is ready.", "The disc tray is closed."}));
  EXPECT_EQ(w.Enabling(), AllOpen());
}

TEST_F(Window, DriveReportFollowsTheDrive) {
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  w.SpBtnInfoClick();
  const QStringList lines = w.Messages();
  ASSERT_EQ(lines.size(), 14 + 28);
  EXPECT_EQ(lines[0], "Is TestUnitReady? True");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "DISC IN DRIVE IS mtDVDPLUSR");
  EXPECT_EQ(lines[3], "IS DISC Erasable? False");
  EXPECT_EQ(lines[4], "IS DISC Writable? True");
  EXPECT_EQ(lines[5], "SessionsOnDisc: 0");
  EXPECT_EQ(lines[6], "GetTotalBlocksOnDisc: 4,482.62 MB");
  EXPECT_EQ(lines[7], "GetFreeBlocksOnDisc: 4,482.62 MB");
  EXPECT_TRUE(lines[8].startsWith("GetMaxWriteSpeed:  ") && lines[8].endsWith(" KB/s"));
  EXPECT_EQ(lines[11], "");
  EXPECT_EQ(lines[14], "DEVICE CAPABLE OF DC_TEST_WRITE? True");
  EXPECT_EQ(lines[41], "DEVICE CAPABLE OF WRITE_BDRE? True");
  EXPECT_EQ(w.MessageColour(), TMessageColour::Maroon);
}

TEST_F(Window, BurnListAddsRemovesAndSums) {
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  const std::string a = File("src/a.bin", 1 << 20);
  const std::string b = File("src/b.mp3", 3 << 20);
  File("src/folder/c.bin", 1 << 20);
  // The audio filter skips what is not audio.
  w.AddChosenFiles({QString::fromStdString(a), QString::fromStdString(b)}, 1);
  WaitForSummary();
  EXPECT_EQ(w.BurnListNames(), QStringList{"b.mp3"});
  w.AddChosenFiles({QString::fromStdString(a)}, 3);
  WaitForSummary();
  w.DropUrls({QUrl::fromLocalFile(QString::fromStdString((dir_ / "src" / "folder/").string()))});
  WaitForSummary();
  EXPECT_EQ(w.BurnListNames(), QStringList({"b.mp3", "a.bin", "folder ( Folder )"}));
  EXPECT_EQ(w.BurnListPaths().last().toStdString(), (dir_ / "src" / "folder").string());
  EXPECT_DOUBLE_EQ(w.TotAddSize(), 5.0);
  EXPECT_EQ(w.Messages(), QStringList({"Writable free disc space: 4,482.62MB",
                                       "Required writable free disc space about: 5.01MB",
                                       "Sum of added items: 3"}));

  // Remove the first and the last.
  QListWidget* list = w.BurnList();
  list->clearSelection();
  list->item(0)->setSelected(true);
  list->item(2)->setSelected(true);
  QTest::keyClick(&w, Qt::Key_Delete);
  WaitForSummary();
  EXPECT_EQ(w.BurnListNames(), QStringList{"a.bin"});
  EXPECT_EQ(w.Messages().last(), "Sum of added items: 1");

  w.SpBtnClearClick();
  EXPECT_TRUE(w.BurnListNames().isEmpty());
  EXPECT_TRUE(w.Messages().isEmpty());
  EXPECT_EQ(w.TotAddSize(), 0);
}

TEST_F(Window, EmptyFilesLeaveTheDriveLinesOutAndNoSummary) {
  TMainWindow& w = Open({Drive("d", Disc::AppendableCdR)});
  w.AddChosenFiles({QString::fromStdString(File("empty", 0))}, 3);
  WaitForSummary();
  EXPECT_EQ(w.BurnListNames(), QStringList{"empty"});
  EXPECT_TRUE(w.Messages().isEmpty());
  w.SpBtnBurnCloseFileClick();
  EXPECT_TRUE(w.BurnListNames().isEmpty());
  // An empty list writes no summary: the drive's lines stay.
  EXPECT_EQ(w.Messages(), QStringList({"The inserted disc is not writable.",
                                       "Only ISO image file building is possible."}));
}

TEST_F(Window, PathsOver128CharactersAreRefused) {
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  const std::string base = dir_.string() + "/";
  const std::string at128 = File(std::string(128 - base.size(), 'a'), 1);
  const std::string at129 = File(std::string(129 - base.size(), 'b'), 1);
  ASSERT_EQ(at128.size(), 128u);
  w.AddChosenFiles({QString::fromStdString(at128), QString::fromStdString(at129)}, 3);
  WaitForSummary();
  EXPECT_EQ(w.BurnListPaths(), QStringList{QString::fromStdString(at128)});
  EXPECT_EQ(boxes_, QStringList{QString::fromStdString(
                        "File name " + at129 + " to long (129 characters)! (128 characters maximum.)")});
}

TEST_F(Window, UriListDropAddsFilesAndFolders) {
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  const std::string f = File("drop/one.txt", 2048);
  File("drop/sub/two.txt", 2048);
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(f)),
                QUrl::fromLocalFile(QString::fromStdString((dir_ / "drop" / "sub").string())),
                QUrl("https://example.org/not-a-file")});
  // As the file manager's drag arrives: it enters the list, then drops.
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w.BurnList()->viewport(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w.BurnList()->viewport(), &drop);
  WaitForSummary();
  EXPECT_EQ(w.BurnListNames(), QStringList({"one.txt", "sub ( Folder )"}));
  EXPECT_EQ(w.Messages().last(), "Sum of added items: 2");
}

TEST_F(Window, FilesDraggedFromTheFileList) {
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  File("pick/x.txt", 10);
  File("pick/y.txt", 10);
  w.SetCurrentFolder(QString::fromStdString((dir_ / "pick").string()));
  ASSERT_EQ(w.FileList()->count(), 2);
  w.FileList()->item(1)->setSelected(true);
  w.DropFromFileList();
  WaitForSummary();
  EXPECT_EQ(w.BurnListPaths(), QStringList{QString::fromStdString((dir_ / "pick" / "y.txt").string())});
}

TEST_F(Window, FolderDraggedFromTheTree) {
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  File("tree/Album/one.flac", 1 << 20);
  const QString album = QString::fromStdString((dir_ / "tree" / "Album").string());
  auto* model = static_cast<QFileSystemModel*>(w.FolderTree()->model());
  w.FolderTree()->setCurrentIndex(model->index(album));
  w.DropFromTree();
  WaitForSummary();
  EXPECT_EQ(w.BurnListNames(), QStringList{"Album ( Folder )"});
  EXPECT_EQ(w.BurnListPaths(), QStringList{album});
  EXPECT_EQ(w.Messages()[1], "Required writable free disc space about: 1.00MB");
}

TEST_F(Window, SaveImageTargetSelectsNoDevice) {
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  ASSERT_EQ(w.Burner().Device.DriveLetter, "vd0");
  const TActionEnabling before = w.Enabling();
  w.SetBurnTargetIndex(int(w.BurnTargets().size()) - 1);
  w.CBoxBurnDriveChange();
  EXPECT_EQ(w.Enabling(), before);
  EXPECT_EQ(w.Burner().Device.DriveLetter, "vd0");
}

TEST_F(Window, PropertiesDialogLabelsItsFields) {
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  TPropertiesDialog* dialog = w.PropertiesDialog();
  EXPECT_EQ(dialog->windowTitle(), "ProgramProperties");
  QStringList captions;
  for (QLabel* label : dialog->findChildren<QLabel*>()) {
    ASSERT_NE(label->buddy(), nullptr) << label->text().toStdString();
    captions << label->text() + " -> " + label->buddy()->objectName();
  }
  EXPECT_EQ(captions, QStringList({"OpticalDriveDevice -> CBoxCD", "BurnerCacheSize(MB) -> CBoxCache",
                                   "BurnerVolumeLabel -> EditVolumeID"}));
  // Cancel changes nothing.
  dialog->FormShow();
  dialog->CBoxCache()->setCurrentIndex(3);
  QTest::mouseClick(dialog->CancelButton(), Qt::LeftButton);
  w.TimerPropTimer();
  w.TimerPropTimer();
  EXPECT_EQ(w.CacheIndex(), 1);
}

TEST(AbortWait, ClosesOnceTheJobHasEnded) {
  bool busy = true;
  TAbortWaitDialog dialog([&busy] { return busy; }, nullptr);
  EXPECT_EQ(dialog.windowTitle(), "Warning");
  dialog.show();
  dialog.TimerCloseTimer();
  EXPECT_TRUE(dialog.isVisible());
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_TRUE(dialog.isVisible());
  busy = false;
  dialog.TimerCloseTimer();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(Window, PropertiesRoundTripThroughTheFile) {
  const std::string d1 = Drive("a", Disc::BlankDvdPlusR), d2 = Drive("b", Disc::BdRe);
  ASSERT_TRUE(WritePropertiesFile(PropertiesFile().string(), TProperties{1, 3, "Urlaub", 2}));
  {
    TMainWindow& w = Open({d1, d2});
    EXPECT_FALSE(w.ChooseProp());
    EXPECT_EQ(w.DriveIndex(), 1);
    EXPECT_EQ(w.Burner().Device.DriveLetter, "vd1");
    EXPECT_EQ(w.CacheSize(), 512);
    EXPECT_EQ(w.Burner().CacheSize(), 512u);
    EXPECT_EQ(w.VolumeLabel(), "Urlaub");
    EXPECT_EQ(w.FilterIndex(), 2);

    // The dialog: an unchanged OK writes at once; a change applies two ticks later and is
    // written on the third.
    TPropertiesDialog* dialog = w.PropertiesDialog();
    dialog->FormShow();
    EXPECT_EQ(dialog->CBoxCD()->count(), 2);
    dialog->CBoxCache()->setCurrentIndex(0);
    dialog->EditVolumeID()->setText("Neu");
    QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
    EXPECT_EQ(w.CacheSize(), 512);
    w.TimerPropTimer();
    EXPECT_EQ(w.CacheSize(), 512);
    w.TimerPropTimer();
    EXPECT_EQ(w.CacheSize(), 64);
    EXPECT_EQ(w.VolumeLabel(), "Neu");
    EXPECT_EQ(ReadPropertiesFile(PropertiesFile().string()).Properties.VolumeLabel, "Urlaub");
    w.TimerPropTimer();
    EXPECT_EQ(ReadPropertiesFile(PropertiesFile().string()).Properties, (TProperties{1, 0, "Neu", 2}));
    w.close();
  }
  // An index beyond the drives leaves the first selected.
  ASSERT_TRUE(WritePropertiesFile(PropertiesFile().string(), TProperties{5, 1, "", 1}));
  TMainWindow& again = Open({d1});
  EXPECT_EQ(again.DriveIndex(), 0);
  EXPECT_EQ(again.VolumeLabel(), "TorvikDisc");
}

TEST_F(Window, MalformedPropertiesAreDeletedAndAskedFor) {
  fs::create_directories(PropertiesFile().parent_path());
  std::ofstream(PropertiesFile()) << "0\r\n128\r\n";
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  EXPECT_FALSE(fs::exists(PropertiesFile()));
  EXPECT_TRUE(w.ChooseProp());
  EXPECT_EQ(w.CacheSize(), 128);
  w.TimerMessTimer();
  EXPECT_EQ(boxes_, QStringList{"Please select program properties for TorvikBurner."});
  EXPECT_EQ(propertiesShown_, 1);
  w.close();
  EXPECT_EQ(ReadPropertiesFile(PropertiesFile().string()).Properties, (TProperties{0, 1, "TorvikDisc", 1}));
}

TEST_F(Window, HelpSupportAndLinks) {
  TMainWindow& w = Open({Drive("d", Disc::BlankDvdPlusR)});
  w.Memo1 << "my drive";
  w.SpBtnHelpClick();
  w.MenuSupportClick();
  EXPECT_EQ(urls_.size(), 2);
  EXPECT_TRUE(urls_[0].endsWith("/TorvikQuickStart.pdf"));
  // The build writes the guide beside the programs.
  EXPECT_TRUE(QFile::exists(QUrl(urls_[0]).toLocalFile())) << urls_[0].toStdString();
  EXPECT_TRUE(urls_[1].startsWith("mailto:"));
  EXPECT_TRUE(urls_[1].endsWith("?subject=TorvikBurner&Body=my%20drive%0D%0A"
                                "Please type your question and e-mail address here:"));
}

}  // namespace
}  // namespace torvik::app

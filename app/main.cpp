// torvik: the desktop application.
#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>
#include <QMessageBox>
#include <string>

#include "MainWindow.h"
#include "emulator/VirtualDrive.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("torvik");
  QApplication::setApplicationVersion("1.2.1");

  QCommandLineParser parser;
  parser.setApplicationDescription("Burns files and ISO images to CD, DVD and BD.");
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption virtualDrive(
      "virtual-drive", "Add the virtual drive kept in PATH (and PATH.state); may be repeated.",
      "PATH");
  parser.addOption(virtualDrive);
  QCommandLineOption screenshot(
      "screenshot", "Save a picture of the window to FILE once the burn list is summed, then quit.",
      "FILE");
  parser.addOption(screenshot);
  parser.addPositionalArgument("paths", "Files and folders to put into the burn list.", "[PATH...]");
  parser.process(app);

  torvik::app::TAppOptions options;
  for (const QString& path : parser.values(virtualDrive)) {
    // The device table would leave a drive out silently; a path the user named deserves the
    // reason.
    std::string why;
    if (!torvik::vdrive::VirtualDrive::Open(path.toStdString(), &why)) {
      QMessageBox::warning(nullptr, "Torvik",
                           "Cannot use the virtual drive: " + QString::fromStdString(why));
      continue;
    }
    options.VirtualDrives.push_back(path.toStdString());
  }
  torvik::app::TMainWindow window(options);
  window.show();
  QList<QUrl> paths;
  for (const QString& p : parser.positionalArguments())
    paths << QUrl::fromLocalFile(QFileInfo(p).absoluteFilePath());
  if (!paths.isEmpty()) window.DropUrls(paths);
  if (parser.isSet(screenshot)) {
    const QString file = parser.value(screenshot);
    auto shoot = [&window, file] {
      // Let the window lay itself out and paint before it is grabbed.
      QTimer::singleShot(500, &window, [&window, file] {
        const bool saved = window.grab().save(file);
        QApplication::exit(saved ? 0 : 1);
      });
    };
    if (window.SummaryPending())
      QObject::connect(&window, &torvik::app::TMainWindow::SummaryUpdated, &window, shoot);
    else
      shoot();
  }
  return QApplication::exec();
}

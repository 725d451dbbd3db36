// torvik: the desktop application.
#include <QApplication>
#include <QCommandLineParser>
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
  return QApplication::exec();
}

#include "Icons.h"

#include <QString>

// The pictures are linked in from a static library; their registration has to be asked for.
static void RegisterPictures() {
  static const bool registered = [] {
    Q_INIT_RESOURCE(icons);
    return true;
  }();
  (void)registered;
}

namespace torvik::app {

QIcon ThemedIcon(const char* name) {
  RegisterPictures();
  return QIcon::fromTheme(name, QIcon(QString(":/icons/%1.svg").arg(name)));
}

QIcon AppIcon() {
  RegisterPictures();
  return QIcon(":/icons/torvik.svg");
}

}  // namespace torvik::app

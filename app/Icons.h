// Tool bar pictures: the desktop's icon theme where it has one, the program's own otherwise.
#pragma once

#include <QIcon>

namespace torvik::app {

// The theme icon `name`, or the bundled picture of that name.
QIcon ThemedIcon(const char* name);
QIcon AppIcon();

}  // namespace torvik::app

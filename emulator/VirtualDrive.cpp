#include "emulator/VirtualDrive.h"

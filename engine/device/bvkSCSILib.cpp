#include "device/bvkSCSILib.h"

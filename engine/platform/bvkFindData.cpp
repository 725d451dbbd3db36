#include "platform/bvkFindData.h"

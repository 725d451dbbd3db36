#include "layout/bvkTree.h"

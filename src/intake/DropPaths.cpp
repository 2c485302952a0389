#include "intake/DropPaths.h"

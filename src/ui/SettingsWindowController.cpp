#include "ui/SettingsWindowController.h"

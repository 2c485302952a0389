#include "app/translations/Translations.h"

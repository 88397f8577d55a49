#pragma once

#include "datetimetext.h"

#include <windows.h>

// The date and time choices of a locale's regional settings, by GetLocaleInfoA.
DateTimeSettings ReadDateTimeSettings(LCID locale = LOCALE_USER_DEFAULT);

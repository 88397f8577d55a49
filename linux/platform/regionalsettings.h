#pragma once

#include "datetimetext.h"

#include <QDateTime>
#include <QLocale>

// The user's regional settings as Qt reads them from the environment.
DateTimeSettings DateTimeSettingsFromLocale(const QLocale &locale);

LocalDateTime ToLocalDateTime(const QDateTime &moment);

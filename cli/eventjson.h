#pragma once

#include "magicevent.h"

#include <QJsonObject>
#include <QString>

// A magic packet or near miss as one JSON Lines object; `time` is ISO 8601 local time.
QJsonObject EventJson(const MagicEvent &event, const QString &time);

#pragma once

#include <QMetaType>
#include <QString>

#include "platform/imagecompleteness.h"

namespace marlox {

// A new file in the screenshot folder that has stopped growing.
struct Detection
{
    QString url; // absolute path of the file
    double detectionLatency = 0; // seconds from the file's birth to being found stable
};

// How the watched folder was lost.
enum class Loss { deleted, renamed, revoked, unreadable };
QString lossName(Loss loss);

// Why a recovery attempt of the watch runs.
enum class WatchTrigger { wake, mount, retry };

} // namespace marlox

Q_DECLARE_METATYPE(marlox::Detection)
Q_DECLARE_METATYPE(marlox::Loss)

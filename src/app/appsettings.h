#pragma once

#include <QObject>
#include <QString>

#include "app/watchsupervisor.h"

namespace marlox {

class BacklogImport;
class FolderLocations;
class RecognitionWork;

// The app as the Settings window sees it: the two folders, the recognition,
// auto-save, the watch, the system's screenshot folder when it is not the
// watched one, and the screenshots that were there before Marlox. A QObject,
// so a window can hold it by QPointer.
class AppSettings : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual FolderLocations &locations() = 0;
    virtual RecognitionWork &recognition() = 0;
    virtual BacklogImport &backlogImport() = 0;
    virtual bool autoSaveEnabled() const = 0;
    virtual void setAutoSaveEnabled(bool enabled) = 0;
    virtual WatchStatus watchStatus() const = 0;
    // Empty when it is the screenshot folder (or none is set).
    virtual QString systemFolderIfDifferent() const = 0;

Q_SIGNALS:
    void autoSaveEnabledChanged();
    void watchStatusChanged();
    void systemFolderIfDifferentChanged();
};

} // namespace marlox

#pragma once

#include <QLoggingCategory>

// One category per component, "com.quorvintesha.Marlox.<Component>", info and
// above enabled by default. error → qCWarning, fault → qCCritical.
Q_DECLARE_LOGGING_CATEGORY(lcAppState)
Q_DECLARE_LOGGING_CATEGORY(lcBookmarkStore)
Q_DECLARE_LOGGING_CATEGORY(lcFolderWatcher)
Q_DECLARE_LOGGING_CATEGORY(lcImageZoom)
Q_DECLARE_LOGGING_CATEGORY(lcLoginItem)
Q_DECLARE_LOGGING_CATEGORY(lcDatabase)
Q_DECLARE_LOGGING_CATEGORY(lcOCR)
Q_DECLARE_LOGGING_CATEGORY(lcPlatform)
Q_DECLARE_LOGGING_CATEGORY(lcUpdates)
Q_DECLARE_LOGGING_CATEGORY(lcShell)

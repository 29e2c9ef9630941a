#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

namespace marlox {

// The persisted preferences: $XDG_CONFIG_HOME/quorvintesha/Marlox.conf, keys
// in full in the [General] group. Every write is flushed at once so another
// process (or a later launch) sees it.
namespace Preferences {

inline const QString autoSaveEnabled = QStringLiteral("com.quorvintesha.Marlox.autoSaveEnabled");
inline const QString recentFolders = QStringLiteral("com.quorvintesha.Marlox.recentFolders");
inline const QString screenshotFolderBookmark
    = QStringLiteral("com.quorvintesha.Marlox.screenshotFolderBookmark");
inline const QString libraryRootBookmark
    = QStringLiteral("com.quorvintesha.Marlox.libraryRootBookmark");
inline const QString didMigrateUnfiledFolderToGeneral
    = QStringLiteral("com.quorvintesha.Marlox.didMigrateUnfiledFolderToGeneral");
inline const QString onboardingCompleted
    = QStringLiteral("com.quorvintesha.Marlox.onboardingCompleted");
inline const QString loginItemDefaultApplied
    = QStringLiteral("com.quorvintesha.Marlox.loginItemDefaultApplied");
inline const QString automaticallyChecksForUpdates
    = QStringLiteral("com.quorvintesha.Marlox.automaticallyChecksForUpdates");
inline const QString ocrLanguages = QStringLiteral("com.quorvintesha.Marlox.ocrLanguages");

QVariant value(const QString &key, const QVariant &fallback = {});
bool contains(const QString &key);
void setValue(const QString &key, const QVariant &value);
void remove(const QString &key);
bool boolValue(const QString &key, bool fallback = false);
QStringList stringList(const QString &key);
QString filePath();

} // namespace Preferences
} // namespace marlox

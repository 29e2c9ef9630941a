#pragma once

#include <chrono>

#include <QString>
#include <QStringList>

namespace marlox::ScreenshotLocation {

// Where the desktop's screenshot tool saves: the first existing directory of
// candidates(realHomeDirectory()), else the real home directory.
QString systemScreenshotFolder();
QString systemScreenshotFolder(const QString &home);

// The places to try, in order: the current desktop's own setting (GNOME/Unity,
// KDE, Xfce), flameshot and ksnip, Pictures/Screenshots, Pictures,
// home/Desktop and home. Existence is not checked here.
QStringList candidates(const QString &home);
// How long the desktop's settings tool may take before it is given up on.
void setSettingsToolTimeout(std::chrono::milliseconds timeout);

// A configured location as a clean absolute path: "~", "~/…", "$HOME/…",
// absolute paths and local file:// URLs. Empty for other URL schemes,
// relative paths and empty text.
QString localPath(const QString &value, const QString &home);

// The text of a GVariant string as gsettings prints it ('…' or "…" with
// backslash escapes); empty when the output is no string.
QString parseGVariantString(const QString &printed);

} // namespace marlox::ScreenshotLocation

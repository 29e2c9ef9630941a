#pragma once

#include <QString>

namespace marlox::Autostart {

// Launch at login through XDG Autostart:
// $XDG_CONFIG_HOME/autostart/com.quorvintesha.Marlox.desktop.
enum class Status { enabled, requiresApproval, disabled, unavailable };

QString entryPath();
Status status();
// Writes our entry pointing at executable; throws FileError.
void enable(const QString &executable);
// Deletes our entry, and masks a system-wide one with Hidden=true; throws FileError.
void disable();

} // namespace marlox::Autostart

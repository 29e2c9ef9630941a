#pragma once

#include <QProcess>
#include <QString>

namespace marlox::test {

// The marlox binary under test: $MARLOX_BINARY, else the build tree's.
QString marloxBinary();

// Starts the binary offscreen in the test's (isolated) environment, its
// output and errors merged; false when it could not start.
bool startOffscreen(QProcess &process, const QString &binary);

// Appends what the process prints to log until log holds text; false when
// the time runs out or the process ends first.
bool waitForOutput(QProcess &process, QString &log, const QString &text, int timeoutMs);

} // namespace marlox::test

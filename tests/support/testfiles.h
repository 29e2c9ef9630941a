#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace marlox::test {

// Creates the missing folders and writes (replacing) the file; a failure
// fails the calling test, so check QTest::currentTestFailed() when it matters.
void writeFile(const QString &path, const QByteArray &bytes = QByteArrayLiteral("bytes"));

// The file's bytes, or "<unreadable>".
QByteArray readFile(const QString &path);

// Every entry below root as a relative path, parents before children, names
// sorted; links are listed but not followed, hidden entries included.
QStringList tree(const QString &root);

} // namespace marlox::test

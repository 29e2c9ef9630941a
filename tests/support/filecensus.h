#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

namespace marlox::test {

// Regular files below each folder, at any depth, hidden ones included and
// links not followed; folders that are missing contribute nothing.
QStringList regularFilesBelow(const QStringList &folders);

// How many files hold each content (SHA-256 of the bytes), over the regular
// files below the folders: equal censuses mean no file was lost, duplicated
// or cut short.
QMap<QByteArray, int> contentCensus(const QStringList &folders);

// Hex SHA-256 of the file's bytes, or "<unreadable>".
QByteArray contentDigest(const QString &path);

// Writes the bytes and flushes them to disk; false on any failure.
bool writeWholeFile(const QString &path, const QByteArray &bytes);

// A small valid PNG whose pixels (and so bytes) differ with seed.
QByteArray distinctPng(int seed, int width = 64, int height = 48);

} // namespace marlox::test

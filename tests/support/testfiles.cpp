#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace marlox::test {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file.errorString()));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("<unreadable>");
    return file.readAll();
}

QStringList tree(const QString &root)
{
    QStringList entries;
    for (const QFileInfo &info : QDir(root).entryInfoList(
             QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name)) {
        entries.append(info.fileName());
        if (info.isDir() && !info.isSymLink()) {
            for (const QString &child : tree(info.filePath()))
                entries.append(info.fileName() + u'/' + child);
        }
    }
    return entries;
}

} // namespace marlox::test

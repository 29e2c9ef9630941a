#include "platform/autostart.h"

#include <cerrno>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "platform/errors.h"

namespace marlox::Autostart {

namespace {

const QString kFileName = QStringLiteral("com.quorvintesha.Marlox.desktop");

QString userDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart");
}

// A system-wide entry of the same name, which ours overrides.
QString systemEntry()
{
    const QStringList dirs
        = QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation);
    for (int i = 1; i < dirs.size(); ++i) {
        const QString path = dirs.at(i) + QStringLiteral("/autostart/") + kFileName;
        if (QFileInfo::exists(path))
            return path;
    }
    return {};
}

bool isHidden(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inEntry = line == QLatin1String("[Desktop Entry]");
        else if (inEntry && line.startsWith(QLatin1String("Hidden")))
            return line.section(QLatin1Char('='), 1)
                       .trimmed()
                       .compare(QLatin1String("true"), Qt::CaseInsensitive)
                == 0;
    }
    return false;
}

// The folder exists as a writable directory, or could be created.
bool canWrite(const QString &dir)
{
    QString existing = dir;
    while (!QFileInfo::exists(existing) && !QFileInfo(existing).isSymLink()) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            return false;
        existing = parent;
    }
    const QFileInfo info(existing);
    return info.isDir() && info.isWritable();
}

QString quoteExec(const QString &executable)
{
    QString escaped = executable;
    for (const char *special : { "\\", "\"", "`", "$" })
        escaped.replace(QLatin1String(special), QLatin1Char('\\') + QLatin1String(special));
    escaped.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

void writeEntry(const QByteArray &content)
{
    const QString dir = userDirectory();
    if (!QDir().mkpath(dir))
        throw FileError(errno ? errno : EACCES, dir, QStringLiteral("create"));
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        throw FileError(EACCES, entryPath(), QStringLiteral("write"));
}

} // namespace

QString entryPath()
{
    return userDirectory() + QLatin1Char('/') + kFileName;
}

Status status()
{
    if (!canWrite(userDirectory()))
        return Status::unavailable;
    QString effective = entryPath();
    if (!QFileInfo::exists(effective))
        effective = systemEntry();
    if (effective.isEmpty())
        return Status::disabled;
    return isHidden(effective) ? Status::disabled : Status::enabled;
}

void enable(const QString &executable)
{
    QByteArray content = "[Desktop Entry]\n"
                         "Type=Application\n"
                         "Name=Marlox\n"
                         "Comment=Files your screenshots and makes their text searchable\n"
                         "Icon=com.quorvintesha.Marlox\n"
                         "Exec=";
    content += quoteExec(executable).toUtf8();
    content += "\nX-GNOME-Autostart-enabled=true\nTerminal=false\n";
    writeEntry(content);
}

void disable()
{
    const QString path = entryPath();
    if (QFileInfo::exists(path) && !QFile::remove(path))
        throw FileError(EACCES, path, QStringLiteral("remove"));
    if (!systemEntry().isEmpty())
        writeEntry("[Desktop Entry]\nType=Application\nName=Marlox\nHidden=true\n");
}

} // namespace marlox::Autostart

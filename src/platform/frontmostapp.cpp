#include "platform/frontmostapp.h"

#include <unistd.h>

#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QStandardPaths>

#include "platform/x11session.h"

namespace marlox {

namespace {

// The [Desktop Entry] group of a freedesktop key file; QSettings would split
// values at ";" and ",".
QHash<QString, QString> desktopEntry(const QString &path)
{
    QHash<QString, QString> values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return values;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (inEntry)
                break;
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (inEntry && equals > 0) {
            const QString key = line.left(equals).trimmed();
            if (!values.contains(key))
                values.insert(key, line.mid(equals + 1).trimmed());
        }
    }
    return values;
}

QString localizedName(const QHash<QString, QString> &entry)
{
    // Name[de_DE], then Name[de], then Name.
    const QString locale = QLocale::system().name();
    for (const QString &suffix : { locale, locale.section(QLatin1Char('_'), 0, 0) }) {
        const QString value = entry.value(QStringLiteral("Name[%1]").arg(suffix));
        if (!suffix.isEmpty() && !value.isEmpty())
            return value;
    }
    return entry.value(QStringLiteral("Name"));
}

struct DesktopFile
{
    QString id; // "org.gnome.TextEditor", sub-folders joined with "-"
    QString path;
};

QList<DesktopFile> desktopFiles(const QStringList &applicationDirs)
{
    QList<DesktopFile> files;
    QStringList seen;
    for (const QString &dir : applicationDirs) {
        QDirIterator it(dir, { QStringLiteral("*.desktop") }, QDir::Files,
            QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        while (it.hasNext()) {
            const QString path = it.next();
            QString id = path.mid(dir.size() + 1);
            id.chop(int(qstrlen(".desktop")));
            id.replace(QLatin1Char('/'), QLatin1Char('-'));
            // An earlier data directory overrides a later one.
            if (seen.contains(id))
                continue;
            seen.append(id);
            files.append({ id, path });
        }
    }
    return files;
}

} // namespace

bool X11FrontmostApplication::isExcluded(const QString &identifier)
{
    static const QStringList excluded = {
        QStringLiteral("marlox"),
        QStringLiteral("com.quorvintesha.Marlox"),
        QStringLiteral("gnome-screenshot"),
        QStringLiteral("org.gnome.Screenshot"),
        QStringLiteral("org.gnome.Shell.Screenshot"),
        QStringLiteral("gnome-shell"),
        QStringLiteral("spectacle"),
        QStringLiteral("org.kde.spectacle"),
        QStringLiteral("flameshot"),
        QStringLiteral("org.flameshot.Flameshot"),
        QStringLiteral("xfce4-screenshooter"),
        QStringLiteral("org.xfce.screenshooter"),
        QStringLiteral("ksnip"),
        QStringLiteral("org.ksnip.ksnip"),
    };
    return excluded.contains(identifier, Qt::CaseInsensitive);
}

std::optional<FrontmostApplication::Info> X11FrontmostApplication::fromWindowClass(
    const QString &instance, const QString &windowClass, const QStringList &applicationDirs)
{
    if (instance.isEmpty() && windowClass.isEmpty())
        return std::nullopt;
    if (isExcluded(instance) || isExcluded(windowClass))
        return std::nullopt;

    const QList<DesktopFile> files = desktopFiles(applicationDirs);
    std::optional<DesktopFile> match;
    QHash<QString, QString> matchEntry;
    for (const DesktopFile &file : files) {
        const QHash<QString, QString> entry = desktopEntry(file.path);
        const QString wmClass = entry.value(QStringLiteral("StartupWMClass"));
        if (!wmClass.isEmpty()
            && (wmClass.compare(windowClass, Qt::CaseInsensitive) == 0
                || wmClass.compare(instance, Qt::CaseInsensitive) == 0)) {
            match = file;
            matchEntry = entry;
            break;
        }
    }
    if (!match) {
        for (const QString &candidate : { instance, windowClass }) {
            for (const DesktopFile &file : files) {
                if (!candidate.isEmpty() && file.id.compare(candidate, Qt::CaseInsensitive) == 0) {
                    match = file;
                    matchEntry = desktopEntry(file.path);
                    break;
                }
            }
            if (match)
                break;
        }
    }

    if (match) {
        if (isExcluded(match->id))
            return std::nullopt;
        return Info { localizedName(matchEntry), match->id };
    }
    const QString fallback = windowClass.isEmpty() ? instance : windowClass;
    return Info { fallback, fallback };
}

std::optional<FrontmostApplication::Info> X11FrontmostApplication::frontmost()
{
    // Under XWayland too: the X server knows its own applications' windows,
    // and reports none while a native Wayland one is in front.
    const std::optional<X11::ActiveWindow> active = X11::activeWindow();
    // Our own windows, whatever class they carry.
    if (!active || active->pid == uint32_t(getpid()))
        return std::nullopt;
    return fromWindowClass(active->instance, active->windowClass,
        QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation));
}

} // namespace marlox

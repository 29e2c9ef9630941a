#include "platform/frontmostapp.h"

#include <unistd.h>

#ifdef MARLOX_HAVE_XCB
#include <xcb/xcb.h>
#endif

#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QLocale>
#include <QStandardPaths>
#include <QtGui/qguiapplication_platform.h>

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

#ifdef MARLOX_HAVE_XCB
QByteArray windowProperty(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t property,
    xcb_atom_t type, uint32_t length)
{
    const auto cookie = xcb_get_property(connection, 0, window, property, type, 0, length);
    xcb_get_property_reply_t *reply = xcb_get_property_reply(connection, cookie, nullptr);
    if (!reply)
        return {};
    const QByteArray value(static_cast<const char *>(xcb_get_property_value(reply)),
        xcb_get_property_value_length(reply));
    free(reply);
    return value;
}

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const auto cookie = xcb_intern_atom(connection, 1, uint16_t(qstrlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t value = reply->atom;
    free(reply);
    return value;
}
#endif

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
#ifdef MARLOX_HAVE_XCB
    // Under XWayland too: the X server knows its own applications' windows,
    // and reports none while a native Wayland one is in front.
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return std::nullopt;
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection || xcb_connection_has_error(connection))
        return std::nullopt;

    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_atom_t activeWindow = atom(connection, "_NET_ACTIVE_WINDOW");
    if (!screen || activeWindow == XCB_ATOM_NONE)
        return std::nullopt;
    const QByteArray active
        = windowProperty(connection, screen->root, activeWindow, XCB_ATOM_WINDOW, 1);
    if (active.size() < int(sizeof(xcb_window_t)))
        return std::nullopt;
    const xcb_window_t window = *reinterpret_cast<const xcb_window_t *>(active.constData());
    if (window == XCB_WINDOW_NONE)
        return std::nullopt;

    // Our own windows, whatever class they carry.
    const xcb_atom_t pidAtom = atom(connection, "_NET_WM_PID");
    if (pidAtom != XCB_ATOM_NONE) {
        const QByteArray pid = windowProperty(connection, window, pidAtom, XCB_ATOM_CARDINAL, 1);
        if (pid.size() >= 4
            && *reinterpret_cast<const uint32_t *>(pid.constData()) == uint32_t(getpid()))
            return std::nullopt;
    }

    // WM_CLASS is "instance\0class\0".
    const QByteArray wmClass
        = windowProperty(connection, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256);
    const QList<QByteArray> parts = wmClass.split('\0');
    const QString instance
        = parts.value(0).isEmpty() ? QString() : QString::fromLocal8Bit(parts.value(0));
    const QString windowClass
        = parts.value(1).isEmpty() ? QString() : QString::fromLocal8Bit(parts.value(1));
    return fromWindowClass(instance, windowClass,
        QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation));
#else
    return std::nullopt;
#endif
}

} // namespace marlox

#include "platform/mounts.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QSocketNotifier>

#include "platform/log.h"

namespace marlox {

namespace {

QString unescapeOctal(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\\' && i + 3 < field.size() && field.at(i + 1) >= '0' && field.at(i + 1) <= '3'
            && field.at(i + 2) >= '0' && field.at(i + 2) <= '7' && field.at(i + 3) >= '0'
            && field.at(i + 3) <= '7') {
            out.append(char(((field.at(i + 1) - '0') << 6) | ((field.at(i + 2) - '0') << 3)
                | (field.at(i + 3) - '0')));
            i += 3;
        } else {
            out.append(c);
        }
    }
    return QFile::decodeName(out);
}

} // namespace

MountWatcher::MountWatcher(QObject *parent)
    : MountWatcher(QStringLiteral("/proc/self/mountinfo"), parent)
{ }

MountWatcher::MountWatcher(const QString &mountInfoPath, QObject *parent) : QObject(parent)
{
    m_fd = ::open(QFile::encodeName(mountInfoPath).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        qCWarning(lcPlatform, "Can't watch mounts: open(%s) failed: %s",
            qUtf8Printable(mountInfoPath), strerror(errno));
        return;
    }
    if (const auto table = readTable())
        m_mountPoints = parseMountPoints(*table);
    // The mount table is always readable; a change shows as an exceptional
    // condition (POLLPRI) until the table is read again.
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Exception, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &MountWatcher::reread);
}

MountWatcher::~MountWatcher()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<QByteArray> MountWatcher::readTable() const
{
    if (::lseek(m_fd, 0, SEEK_SET) < 0)
        return std::nullopt;
    QByteArray data;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        data.append(buffer, n);
    }
    return data;
}

void MountWatcher::reread()
{
    const auto table = readTable();
    if (!table) {
        qCWarning(lcPlatform, "Can't read the mount table: %s", strerror(errno));
        return;
    }
    const QSet<QString> now = parseMountPoints(*table);
    const QSet<QString> before = std::exchange(m_mountPoints, now);
    for (const QString &path : before) {
        if (!now.contains(path))
            Q_EMIT unmounted(path);
    }
    for (const QString &path : now) {
        if (!before.contains(path))
            Q_EMIT mounted(path);
    }
}

QSet<QString> MountWatcher::parseMountPoints(const QByteArray &mountInfo)
{
    // "36 35 98:0 /mnt1 /mnt/parent\040dir rw,noatime master:1 - ext3 /dev/root rw"
    QSet<QString> points;
    for (const QByteArray &line : mountInfo.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5)
            continue;
        points.insert(unescapeOctal(fields.at(4)));
    }
    return points;
}

} // namespace marlox

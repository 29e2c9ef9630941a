#include "support/tmpfsmount.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace marlox::test {

TmpfsMount::TmpfsMount(const QString &folder, qint64 sizeBytes, bool readOnly)
    : m_folder(folder), m_options(QStringLiteral("size=%1,mode=0755").arg(sizeBytes))
{
    QDir().mkpath(folder);
    const QByteArray options = m_options.toLatin1();
    m_mounted = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs",
                    readOnly ? MS_RDONLY : 0, options.constData())
        == 0;
    if (!m_mounted)
        m_error = QString::fromLocal8Bit(std::strerror(errno));
}

TmpfsMount::~TmpfsMount()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
}

bool TmpfsMount::remount(bool readOnly)
{
    const QByteArray options = m_options.toLatin1();
    return ::mount("tmpfs", QFile::encodeName(m_folder).constData(), "tmpfs",
               MS_REMOUNT | (readOnly ? MS_RDONLY : 0), options.constData())
        == 0;
}

bool TmpfsMount::unmount()
{
    if (!m_mounted)
        return false;
    m_mounted = ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH) != 0;
    return !m_mounted;
}

bool TmpfsMount::fill()
{
    const QByteArray path = QFile::encodeName(m_folder + QStringLiteral("/.filler"));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == ENOSPC;
    const QByteArray block(4096, 'x');
    int code = 0;
    for (;;) {
        if (::write(fd, block.constData(), size_t(block.size())) < 0) {
            code = errno;
            break;
        }
    }
    ::close(fd);
    return code == ENOSPC;
}

bool canMount()
{
    if (::geteuid() != 0)
        return false;
    QTemporaryDir dir;
    TmpfsMount probe(dir.path(), 4096);
    return probe.isMounted();
}

} // namespace marlox::test

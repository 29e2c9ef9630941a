#include "platform/filemoves.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include "platform/errors.h"

namespace marlox::FileMoves {

namespace {

QByteArray encodedPath(const QString &path)
{
    // A NUL would silently cut the name short in the system call.
    if (path.isEmpty() || path.contains(QChar(0)))
        throw FileError(EINVAL, path, QStringLiteral("move"));
    return QFile::encodeName(path);
}

[[noreturn]] void fail(const QString &path, const char *operation, int code = errno)
{
    throw FileError(code, path, QString::fromLatin1(operation));
}

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) { }
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// Where renameat2 is not supported, a hard link refuses to replace just the
// same; directories cannot be linked, so they get a checked rename.
void renameWithoutReplacingFallback(
    const QByteArray &from, const QByteArray &to, const QString &toPath)
{
    struct stat info;
    if (::lstat(from.constData(), &info) != 0)
        fail(QFile::decodeName(from), "move");
    if (S_ISDIR(info.st_mode)) {
        if (::lstat(to.constData(), &info) == 0)
            fail(toPath, "move", EEXIST);
        if (::rename(from.constData(), to.constData()) != 0)
            fail(toPath, "move");
        return;
    }
    if (::link(from.constData(), to.constData()) != 0)
        fail(toPath, "move");
    if (::unlink(from.constData()) != 0) {
        const int code = errno;
        ::unlink(to.constData());
        fail(QFile::decodeName(from), "move", code);
    }
}

void copyContents(int in, int out, const QString &from, const QString &to)
{
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const ssize_t count = ::read(in, buffer.data(), size_t(buffer.size()));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            fail(from, "read");
        }
        if (count == 0)
            return;
        writeAll(out, buffer.constData(), count, to);
    }
}

void syncDirectory(const QByteArray &directory, const QString &path)
{
    FileDescriptor fd(::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.isValid())
        fail(path, "open");
    if (::fsync(fd.get()) != 0 && errno != EINVAL)
        fail(path, "sync");
}

QByteArray parentDirectory(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    if (slash == 0)
        return QByteArrayLiteral("/");
    return path.left(slash);
}

std::function<void()> &afterCopyHook()
{
    static std::function<void()> hook;
    return hook;
}

bool sameFileUnchanged(const struct stat &before, const struct stat &now)
{
    return before.st_dev == now.st_dev && before.st_ino == now.st_ino
        && before.st_size == now.st_size && before.st_mtim.tv_sec == now.st_mtim.tv_sec
        && before.st_mtim.tv_nsec == now.st_mtim.tv_nsec;
}

// Copies `from` to a new file `to` on another file system; on any failure
// the source is untouched and nothing is left behind at the destination.
// Answers the source's status as it was before the copy.
struct stat copyAcross(
    const QByteArray &from, const QByteArray &to, const QString &fromPath, const QString &toPath)
{
    FileDescriptor source(::open(from.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!source.isValid()) {
        // A symbolic link or a directory cannot be copied across safely.
        fail(fromPath, "move", errno == ELOOP ? EXDEV : errno);
    }
    struct stat info;
    if (::fstat(source.get(), &info) != 0)
        fail(fromPath, "stat");
    if (!S_ISREG(info.st_mode))
        fail(fromPath, "move", EXDEV);

    const QByteArray directory = parentDirectory(to);
    const mode_t mode = info.st_mode & 07777;
    QByteArray temporaryName; // only when O_TMPFILE is unavailable
    FileDescriptor target(
        ::open(directory.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode & 0600));
    if (!target.isValid()) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
            fail(toPath, "create");
        for (int attempt = 0; attempt < 100 && !target.isValid(); ++attempt) {
            temporaryName = directory + "/.marlox-move-"
                + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
            target.reset(::open(
                temporaryName.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode & 0600));
            if (!target.isValid() && errno != EEXIST)
                fail(toPath, "create");
        }
        if (!target.isValid())
            fail(toPath, "create", EEXIST);
    }
    auto discard = [&] {
        if (!temporaryName.isEmpty())
            ::unlink(temporaryName.constData());
    };

    try {
        copyContents(source.get(), target.get(), fromPath, toPath);
        ::fchmod(target.get(), mode);
        const struct timespec times[2] = { info.st_atim, info.st_mtim };
        ::futimens(target.get(), times);
        if (::fsync(target.get()) != 0)
            fail(toPath, "sync");
        if (temporaryName.isEmpty()) {
            const QByteArray procPath = "/proc/self/fd/" + QByteArray::number(target.get());
            if (::linkat(
                    AT_FDCWD, procPath.constData(), AT_FDCWD, to.constData(), AT_SYMLINK_FOLLOW)
                != 0) {
                if (errno == EEXIST
                    || ::linkat(target.get(), "", AT_FDCWD, to.constData(), AT_EMPTY_PATH) != 0)
                    fail(toPath, "move");
            }
        } else {
            if (::link(temporaryName.constData(), to.constData()) != 0)
                fail(toPath, "move");
            ::unlink(temporaryName.constData());
            temporaryName.clear();
        }
    } catch (...) {
        discard();
        throw;
    }
    try {
        syncDirectory(directory, toPath);
    } catch (...) {
        ::unlink(to.constData());
        throw;
    }
    return info;
}

} // namespace

QString SourceChanged::description() const
{
    return QStringLiteral("%1 changed while it was being copied; it was left in place").arg(m_path);
}

void setAfterCopyHookForTesting(std::function<void()> hook)
{
    afterCopyHook() = std::move(hook);
}

void moveFile(const QString &from, const QString &to)
{
    const QByteArray source = encodedPath(from);
    const QByteArray destination = encodedPath(to);

    if (::renameat2(
            AT_FDCWD, source.constData(), AT_FDCWD, destination.constData(), RENAME_NOREPLACE)
        == 0)
        return;
    const int code = errno;
    if (code == EINVAL || code == ENOSYS || code == EOPNOTSUPP) {
        // EINVAL also answers a directory moved into itself; the fallback's
        // rename reports that again.
        renameWithoutReplacingFallback(source, destination, to);
        return;
    }
    if (code != EXDEV)
        fail(code == EEXIST ? to : from, "move", code);

    const struct stat before = copyAcross(source, destination, from, to);
    if (afterCopyHook())
        afterCopyHook()();
    // A file still being written would lose its later part with the source:
    // remove it only if it is exactly what was copied. One gone meanwhile
    // leaves the copy as the only one, so that stays.
    struct stat now
    {
    };
    const bool examined = ::lstat(source.constData(), &now) == 0;
    if (!examined && errno == ENOENT)
        return;
    if (!examined || !sameFileUnchanged(before, now)) {
        ::unlink(destination.constData());
        throw SourceChanged(from);
    }
    if (::unlink(source.constData()) != 0) {
        // Two copies would be worse than none moved: take the new one back.
        const int unlinkCode = errno;
        ::unlink(destination.constData());
        fail(from, "remove", unlinkCode);
    }
}

void writeAll(int fd, const char *data, qsizetype size, const QString &path)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            fail(path, "write");
        }
        data += written;
        size -= written;
    }
}

bool entryExists(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

bool isRegularFile(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace marlox::FileMoves

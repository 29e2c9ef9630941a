#pragma once

#include <QString>

namespace marlox::test {

// A small tmpfs mounted over a folder for as long as the object lives, to
// give a test a disk that fills up, is read-only or goes away. Needs root
// (CAP_SYS_ADMIN); isMounted() says whether it worked.
class TmpfsMount
{
public:
    TmpfsMount(const QString &folder, qint64 sizeBytes, bool readOnly = false);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;

    bool isMounted() const { return m_mounted; }
    QString error() const { return m_error; }
    // Remounts in place, keeping the contents.
    bool remount(bool readOnly);
    // Detaches it, as when a disk is pulled; the bare folder stays.
    bool unmount();

    // Fills the disk with a file of its own until writes fail with ENOSPC.
    bool fill();

private:
    QString m_folder;
    QString m_options;
    bool m_mounted = false;
    QString m_error;
};

// Whether this process may mount file systems (a root test run).
bool canMount();

} // namespace marlox::test

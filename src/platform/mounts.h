#pragma once

#include <optional>

#include <QObject>
#include <QSet>
#include <QString>

class QSocketNotifier;

namespace marlox {

// Tells when a file system is mounted or unmounted, from the kernel's mount
// table of this process. Unmounts carry the mount point, the volume location.
class MountWatcher : public QObject
{
    Q_OBJECT

public:
    explicit MountWatcher(QObject *parent = nullptr);
    // Reads another mount table in the same format (tests).
    MountWatcher(const QString &mountInfoPath, QObject *parent);
    ~MountWatcher() override;

    QSet<QString> mountPoints() const { return m_mountPoints; }

    // The mount points of a mountinfo text, with octal escapes ("\040") undone.
    static QSet<QString> parseMountPoints(const QByteArray &mountInfo);

Q_SIGNALS:
    void mounted(const QString &path);
    void unmounted(const QString &path);

private:
    void reread();
    std::optional<QByteArray> readTable() const;

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QSet<QString> m_mountPoints;
};

} // namespace marlox

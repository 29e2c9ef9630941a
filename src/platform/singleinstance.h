#pragma once

#include <chrono>
#include <memory>

#include <QObject>
#include <QString>

class QLocalServer;
class QLockFile;

namespace marlox {

// One Marlox per profile: a lock file in the data folder decides who is the
// primary instance, and a local socket lets a later launch ask the primary
// to show itself. A lock left behind by a crashed instance is taken over.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // $XDG_DATA_HOME/Marlox/marlox.lock
    static QString lockFilePath();
    // $XDG_RUNTIME_DIR/com.quorvintesha.Marlox.socket
    static QString socketPath();

    // True when this process is the primary instance (then it listens for
    // later launches); false when another live instance holds the lock.
    bool acquire();
    bool isPrimary() const { return m_primary; }

    // Asks the running primary instance to show its library window. False
    // when no primary could be reached within a few seconds.
    static bool notifyPrimary(std::chrono::milliseconds timeout = std::chrono::seconds(3));

Q_SIGNALS:
    void activationRequested();

private:
    void listen();
    void handleConnection();

    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    bool m_primary = false;
};

} // namespace marlox

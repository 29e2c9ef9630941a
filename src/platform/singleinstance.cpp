#include "platform/singleinstance.h"

#include <cerrno>
#include <csignal>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>

#include "platform/log.h"

namespace marlox {

namespace {
const QByteArray activateRequest = QByteArrayLiteral("activate\n");
const QByteArray activateReply = QByteArrayLiteral("ok\n");
// The primary takes its lock a moment before it listens.
constexpr int connectRetryMs = 100;

bool processIsAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}
} // namespace

SingleInstance::SingleInstance(QObject *parent) : QObject(parent)
{ }

SingleInstance::~SingleInstance() = default;

QString SingleInstance::lockFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Marlox/marlox.lock");
}

QString SingleInstance::socketPath()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime + QStringLiteral("/com.quorvintesha.Marlox.socket");
}

bool SingleInstance::acquire()
{
    if (m_primary)
        return true;
    const QString path = lockFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    m_lock = std::make_unique<QLockFile>(path);
    // Never stale by age: only a lock whose owner is gone is taken over.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        if (m_lock->error() != QLockFile::LockFailedError) {
            // Better a second instance than none at all.
            qCWarning(lcPlatform, "Cannot take the instance lock %s (error %d); running without it",
                qUtf8Printable(path), int(m_lock->error()));
            m_lock.reset();
            m_primary = true;
            listen();
            return true;
        }
        qint64 pid = 0;
        QString hostname;
        QString application;
        const bool known = m_lock->getLockInfo(&pid, &hostname, &application);
        const bool sameMachine = hostname.isEmpty() || hostname == QSysInfo::machineHostName();
        if (!known || !sameMachine || processIsAlive(pid))
            return false;
        qCInfo(lcPlatform, "Taking over the lock of instance %lld, which is gone", pid);
        if (!m_lock->removeStaleLockFile() || !m_lock->tryLock(0))
            return false;
    }
    m_primary = true;
    listen();
    return true;
}

void SingleInstance::listen()
{
    const QString path = socketPath();
    m_server = new QLocalServer(this);
    QLocalServer::removeServer(path);
    if (!m_server->listen(path)) {
        qCWarning(lcPlatform, "Cannot listen on %s: %s", qUtf8Printable(path),
            qUtf8Printable(m_server->errorString()));
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::handleConnection);
}

void SingleInstance::handleConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        const auto readRequest = [this, socket] {
            while (socket->canReadLine()) {
                if (socket->readLine() != activateRequest)
                    continue;
                socket->write(activateReply);
                socket->flush();
                Q_EMIT activationRequested();
            }
        };
        connect(socket, &QLocalSocket::readyRead, this, readRequest);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        readRequest();
    }
}

bool SingleInstance::notifyPrimary(std::chrono::milliseconds timeout)
{
    const QString path = socketPath();
    const QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(path);
        if (socket.waitForConnected(int(deadline.remainingTime())))
            break;
        if (deadline.hasExpired()) {
            qCWarning(lcPlatform, "No running Marlox answered on %s: %s", qUtf8Printable(path),
                qUtf8Printable(socket.errorString()));
            return false;
        }
        QThread::msleep(connectRetryMs);
    }
    socket.write(activateRequest);
    socket.waitForBytesWritten(int(deadline.remainingTime()));
    QByteArray reply;
    while (!reply.contains('\n') && socket.waitForReadyRead(int(deadline.remainingTime())))
        reply += socket.readAll();
    socket.disconnectFromServer();
    if (reply != activateReply) {
        qCWarning(lcPlatform, "The running Marlox did not confirm the request on %s",
            qUtf8Printable(path));
        return false;
    }
    return true;
}

} // namespace marlox

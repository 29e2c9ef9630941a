#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QProcess>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTest>
#include <QtConcurrent>

#include "platform/singleinstance.h"
#include "support/testmain.h"

using namespace marlox;

class TestSingleInstance : public QObject
{
    Q_OBJECT

    // A lock file as QLockFile writes it, claiming to belong to `pid`.
    static void writeLock(qint64 pid, const QString &application)
    {
        const QString path = SingleInstance::lockFilePath();
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray::number(pid) + '\n' + application.toUtf8() + '\n'
            + QSysInfo::machineHostName().toUtf8() + '\n');
    }

    static qint64 deadPid()
    {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        int status = 0;
        waitpid(child, &status, 0);
        return child;
    }

    // A later launch's request reaches the primary once. The primary answers
    // from this thread's event loop, so the blocking request runs elsewhere.
    static bool notifiesOnce(SingleInstance &primary)
    {
        QSignalSpy activations(&primary, &SingleInstance::activationRequested);
        QFuture<bool> notified = QtConcurrent::run([] { return SingleInstance::notifyPrimary(); });
        return activations.wait(10000)
            && QTest::qWaitFor([&] { return notified.isFinished(); }, 10000) && notified.result()
            && activations.count() == 1;
    }

private Q_SLOTS:
    void cleanup() { QFile::remove(SingleInstance::lockFilePath()); }

    void locationsFollowTheProfile()
    {
        QCOMPARE(SingleInstance::lockFilePath(),
            qEnvironmentVariable("XDG_DATA_HOME") + "/Marlox/marlox.lock");
        QCOMPARE(SingleInstance::socketPath(),
            qEnvironmentVariable("XDG_RUNTIME_DIR") + "/com.quorvintesha.Marlox.socket");
    }

    void secondInstanceIsRefusedAndWakesTheFirst()
    {
        SingleInstance first;
        QVERIFY(first.acquire());
        QVERIFY(first.isPrimary());
        QVERIFY(QFileInfo::exists(SingleInstance::lockFilePath()));
        QVERIFY(QFileInfo::exists(SingleInstance::socketPath()));

        SingleInstance second;
        QVERIFY(!second.acquire());
        QVERIFY(!second.isPrimary());

        QVERIFY(notifiesOnce(first));
    }

    void lockIsReleasedWhenThePrimaryEnds()
    {
        {
            SingleInstance first;
            QVERIFY(first.acquire());
        }
        QVERIFY(!QFileInfo::exists(SingleInstance::lockFilePath()));
        SingleInstance next;
        QVERIFY(next.acquire());
    }

    void lockOfACrashedInstanceIsTakenOver()
    {
        writeLock(deadPid(), QStringLiteral("marlox"));
        SingleInstance instance;
        QVERIFY(instance.acquire());
        QVERIFY(QFileInfo::exists(SingleInstance::socketPath()));
    }

    void liveOwnerKeepsItsLockUntilItDies()
    {
        QProcess owner;
        owner.start(QStringLiteral("sleep"), { QStringLiteral("120") });
        QVERIFY(owner.waitForStarted());
        writeLock(owner.processId(), QStringLiteral("sleep"));

        SingleInstance instance;
        QVERIFY(!instance.acquire());

        owner.kill();
        QVERIFY(owner.waitForFinished());
        QVERIFY(instance.acquire());
    }

    void staleSocketIsReplaced()
    {
        // A socket file left by a crash must not stop the new primary listening.
        QFile leftover(SingleInstance::socketPath());
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.close();
        SingleInstance instance;
        QVERIFY(instance.acquire());
        QVERIFY(notifiesOnce(instance));
    }

    void nobodyToNotify()
    {
        QVERIFY(!QFileInfo::exists(SingleInstance::socketPath()));
        QVERIFY(!SingleInstance::notifyPrimary(std::chrono::milliseconds(200)));
    }
};

MARLOX_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"

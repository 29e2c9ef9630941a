#include "support/marloxprocess.h"

#include <algorithm>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcessEnvironment>

namespace marlox::test {

QString marloxBinary()
{
    const QString configured = qEnvironmentVariable("MARLOX_BINARY");
    return configured.isEmpty()
        ? QCoreApplication::applicationDirPath() + QStringLiteral("/../bin/marlox")
        : configured;
}

bool startOffscreen(QProcess &process, const QString &binary)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(binary, {});
    return process.waitForStarted(10000);
}

bool waitForOutput(QProcess &process, QString &log, const QString &text, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!log.contains(text)) {
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0 || process.state() != QProcess::Running)
            return false;
        process.waitForReadyRead(std::min(left, 50));
        log += QString::fromUtf8(process.readAll());
    }
    return true;
}

} // namespace marlox::test

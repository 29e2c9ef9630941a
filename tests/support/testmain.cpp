#include "support/testmain.h"

#include <cstdlib>

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace marlox::test {

namespace {
QTemporaryDir *g_profile = nullptr;
}

void isolateProfile()
{
    g_profile = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/marlox-test-XXXXXX"));
    if (!g_profile->isValid())
        qFatal("cannot create a temporary profile");
    const QString root = g_profile->path();
    const auto set = [&](const char *name, const QString &sub) {
        const QString path = root + sub;
        QDir().mkpath(path);
        qputenv(name, path.toUtf8());
    };
    set("HOME", QString());
    set("XDG_CONFIG_HOME", QStringLiteral("/.config"));
    set("XDG_DATA_HOME", QStringLiteral("/.local/share"));
    set("XDG_CACHE_HOME", QStringLiteral("/.cache"));
    set("XDG_STATE_HOME", QStringLiteral("/.local/state"));
    set("XDG_RUNTIME_DIR", QStringLiteral("/runtime"));
    QFile::setPermissions(root + QStringLiteral("/runtime"),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_CONFIG_DIRS", (root + QStringLiteral("/etc-xdg")).toUtf8());
    qputenv("XDG_DATA_DIRS", (root + QStringLiteral("/usr-share")).toUtf8());
    qunsetenv("XDG_CURRENT_DESKTOP");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/marlox-test-bus");
    if (qEnvironmentVariableIsEmpty("OMP_THREAD_LIMIT"))
        qputenv("OMP_THREAD_LIMIT", "1");
    std::atexit([] { delete g_profile; });
}

QString profileRoot()
{
    return g_profile ? g_profile->path() : QString();
}

} // namespace marlox::test

#include "platform/sessionplatform.h"

#include <QtGlobal>

namespace marlox::SessionPlatform {

Environment fromProcess(int argc, char **argv)
{
    Environment environment;
    environment.sessionType = qEnvironmentVariable("XDG_SESSION_TYPE");
    environment.waylandDisplay = qEnvironmentVariable("WAYLAND_DISPLAY");
    environment.display = qEnvironmentVariable("DISPLAY");
    environment.qpaPlatform = qEnvironmentVariable("QT_QPA_PLATFORM");
    environment.nativeWayland = qEnvironmentVariable(nativeWaylandVariable);
    for (int i = 0; i < argc; ++i)
        environment.arguments.append(QString::fromLocal8Bit(argv[i]));
    return environment;
}

QString chosenPlatform(const Environment &environment)
{
    if (!environment.qpaPlatform.trimmed().isEmpty())
        return {};
    for (const QString &argument : environment.arguments) {
        if (argument == QLatin1String("-platform") || argument == QLatin1String("--platform")
            || argument.startsWith(QLatin1String("-platform="))
            || argument.startsWith(QLatin1String("--platform=")))
            return {};
    }
    const QString optOut = environment.nativeWayland.trimmed();
    if (!optOut.isEmpty() && optOut != QLatin1String("0"))
        return {};
    const QString session = environment.sessionType.trimmed().toLower();
    const bool wayland = session == QLatin1String("wayland")
        || (session.isEmpty() && !environment.waylandDisplay.isEmpty());
    if (!wayland || environment.display.isEmpty())
        return {};
    return QStringLiteral("xcb");
}

} // namespace marlox::SessionPlatform

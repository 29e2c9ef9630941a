#include "platform/homedirectory.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

namespace marlox {

QString realHomeDirectory()
{
    if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir)
        return QDir::cleanPath(QFile::decodeName(pw->pw_dir));
    return QDir::homePath();
}

QString displayPath(const QString &path)
{
    const QString home = realHomeDirectory();
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return path;
}

} // namespace marlox

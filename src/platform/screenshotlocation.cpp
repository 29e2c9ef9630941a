#include "platform/screenshotlocation.h"

#include <atomic>

#include <libintl.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>

#include "platform/homedirectory.h"
#include "platform/keyfile.h"
#include "platform/log.h"

namespace marlox::ScreenshotLocation {

namespace {

std::atomic<int> gsettingsTimeoutMs = 2000;

// GNOME Screenshot's own setting; most systems don't have the schema, which
// is fine.
QString gnomeScreenshotDirectory()
{
    const int timeoutMs = gsettingsTimeoutMs.load();
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QStringLiteral("gsettings"),
        { QStringLiteral("get"), QStringLiteral("org.gnome.gnome-screenshot"),
            QStringLiteral("auto-save-directory") });
    if (!process.waitForStarted(timeoutMs)) {
        qCDebug(
            lcPlatform, "gsettings is not available: %s", qUtf8Printable(process.errorString()));
        return {};
    }
    if (!process.waitForFinished(timeoutMs)) {
        qCDebug(lcPlatform, "gsettings did not answer within %d ms", timeoutMs);
        process.kill();
        process.waitForFinished(timeoutMs);
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    return parseGVariantString(QString::fromUtf8(process.readAllStandardOutput()));
}

// GNOME Shell saves into Pictures/<its translation of "Screenshots">.
QString gnomeShellScreenshotsName()
{
    bind_textdomain_codeset("gnome-shell", "UTF-8");
    return QString::fromUtf8(dgettext("gnome-shell", "Screenshots"));
}

QString configPath(const QString &relative)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QLatin1Char('/') + relative;
}

KeyFile readKeyFile(const QString &relative)
{
    KeyFile file;
    if (!file.load(configPath(relative)))
        qCDebug(lcPlatform, "Cannot read %s", qUtf8Printable(configPath(relative)));
    return file;
}

QString qsettingsValue(const QString &relative, const QString &key)
{
    const QString path = configPath(relative);
    if (!QFileInfo::exists(path))
        return {};
    return QSettings(path, QSettings::IniFormat).value(key).toString();
}

} // namespace

QString localPath(const QString &value, const QString &home)
{
    const QString text = value.trimmed();
    if (text.isEmpty())
        return {};
    if (text == QLatin1String("~"))
        return QDir::cleanPath(home);
    if (text.startsWith(QLatin1String("~/")))
        return QDir::cleanPath(home + text.mid(1));
    if (text == QLatin1String("$HOME") || text.startsWith(QLatin1String("$HOME/")))
        return QDir::cleanPath(home + text.mid(5));
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    if (scheme.match(text).hasMatch()) {
        const QUrl url(text);
        if (!url.isLocalFile())
            return {};
        if (!url.host().isEmpty() && url.host() != QLatin1String("localhost"))
            return {};
        const QString path = url.path(QUrl::FullyDecoded);
        return QDir::isAbsolutePath(path) ? QDir::cleanPath(path) : QString();
    }
    return QDir::isAbsolutePath(text) ? QDir::cleanPath(text) : QString();
}

QString parseGVariantString(const QString &printed)
{
    QString text = printed.trimmed();
    if (text.startsWith(QLatin1String("@s ")))
        text = text.mid(3).trimmed();
    if (text.size() < 2)
        return {};
    const QChar quote = text.front();
    if ((quote != QLatin1Char('\'') && quote != QLatin1Char('"')) || text.back() != quote)
        return {};
    const QStringView inner = QStringView(text).mid(1, text.size() - 2);
    QString out;
    for (qsizetype i = 0; i < inner.size(); ++i) {
        if (inner[i] != QLatin1Char('\\') || i + 1 >= inner.size()) {
            out += inner[i];
            continue;
        }
        const QChar next = inner[++i];
        if (next == QLatin1Char('n')) {
            out += QLatin1Char('\n');
        } else if (next == QLatin1Char('t')) {
            out += QLatin1Char('\t');
        } else if (next == QLatin1Char('u') && i + 4 < inner.size()) {
            bool ok = false;
            const ushort code = inner.mid(i + 1, 4).toUShort(&ok, 16);
            out += ok ? QChar(code) : next;
            if (ok)
                i += 4;
        } else {
            out += next;
        }
    }
    return out;
}

QStringList candidates(const QString &home)
{
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    QStringList out;
    const auto add = [&out](const QString &path) {
        if (!path.isEmpty() && !out.contains(path))
            out.append(path);
    };
    const auto addValue = [&](const std::optional<QString> &value) {
        if (value)
            add(localPath(*value, home));
    };
    const auto addUnderPictures = [&](const QString &name) {
        if (!pictures.isEmpty() && !name.trimmed().isEmpty())
            add(QDir::cleanPath(pictures + QLatin1Char('/') + name));
    };

    bool gnome = false, kde = false, xfce = false;
    const QStringList desktops
        = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &desktop : desktops) {
        const QString name = desktop.trimmed().toLower();
        if ((name == QLatin1String("gnome") || name == QLatin1String("unity")) && !gnome) {
            gnome = true;
            add(localPath(gnomeScreenshotDirectory(), home));
            addUnderPictures(gnomeShellScreenshotsName());
            addUnderPictures(QStringLiteral("Screenshots"));
        } else if (name == QLatin1String("kde") && !kde) {
            kde = true;
            const KeyFile spectacle = readKeyFile(QStringLiteral("spectaclerc"));
            addValue(
                spectacle.value(QStringLiteral("ImageSave"), QStringLiteral("imageSaveLocation")));
            addValue(
                spectacle.value(QStringLiteral("Save"), QStringLiteral("defaultSaveLocation")));
            addValue(spectacle.value(
                QStringLiteral("General"), QStringLiteral("default-save-location")));
            addUnderPictures(spectacle.string(
                QStringLiteral("ImageSave"), QStringLiteral("translatedScreenshotsFolder")));
            addUnderPictures(QStringLiteral("Screenshots"));
        } else if (name == QLatin1String("xfce") && !xfce) {
            xfce = true;
            // The screenshooter writes its key without a group; older versions used [Default].
            const KeyFile screenshooter = readKeyFile(QStringLiteral("xfce4/xfce4-screenshooter"));
            for (const QString &group : { QString(), QStringLiteral("Default") })
                addValue(screenshooter.value(group, QStringLiteral("screenshot_dir")));
        }
    }

    add(localPath(
        qsettingsValue(QStringLiteral("flameshot/flameshot.ini"), QStringLiteral("savePath")),
        home));
    add(localPath(qsettingsValue(QStringLiteral("ksnip/ksnip.conf"),
                      QStringLiteral("Application/SaveDirectory")),
        home));
    addUnderPictures(QStringLiteral("Screenshots"));
    if (!pictures.isEmpty())
        add(QDir::cleanPath(pictures));
    add(QDir::cleanPath(home + QStringLiteral("/Desktop")));
    add(QDir::cleanPath(home));
    return out;
}

QString systemScreenshotFolder(const QString &home)
{
    for (const QString &candidate : candidates(home)) {
        if (QFileInfo(candidate).isDir())
            return candidate;
    }
    return QDir::cleanPath(home);
}

QString systemScreenshotFolder()
{
    return systemScreenshotFolder(realHomeDirectory());
}

void setSettingsToolTimeout(std::chrono::milliseconds timeout)
{
    gsettingsTimeoutMs = int(timeout.count());
}

} // namespace marlox::ScreenshotLocation

#include "app/updatecontroller.h"

#include <algorithm>
#include <memory>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>
#include <QXmlStreamReader>

#include <openssl/evp.h>

#include "platform/log.h"
#include "storage/preferences.h"

namespace marlox {

namespace {

const QString kLastCheckKey = QStringLiteral("com.quorvintesha.Marlox.lastUpdateCheckAt");
constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;

QString trimSpacesAndTabs(const QString &text)
{
    int begin = 0;
    int end = int(text.size());
    while (
        begin < end && (text.at(begin) == QLatin1Char(' ') || text.at(begin) == QLatin1Char('\t')))
        ++begin;
    while (end > begin
        && (text.at(end - 1) == QLatin1Char(' ') || text.at(end - 1) == QLatin1Char('\t')))
        --end;
    return text.mid(begin, end - begin);
}

std::optional<QString> configured(const char *value)
{
    const QString text = QString::fromUtf8(value);
    return text.isEmpty() ? std::nullopt : std::optional<QString>(text);
}

} // namespace

bool UpdateController::isValidFeedURL(const std::optional<QString> &feedURL)
{
    if (!feedURL)
        return false;
    const QUrl url(trimSpacesAndTabs(*feedURL), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().toLower() != QLatin1String("https"))
        return false;
    const QString host = url.host().toLower();
    return !host.isEmpty() && host != QLatin1String("invalid")
        && !host.endsWith(QLatin1String(".invalid"));
}

bool UpdateController::isValidPublicKey(const std::optional<QString> &publicKey)
{
    if (!publicKey)
        return false;
    const QString key = trimSpacesAndTabs(*publicKey);
    if (key == QLatin1String("REPLACE_WITH_SPARKLE_PUBLIC_ED_KEY"))
        return false;
    const auto decoded
        = QByteArray::fromBase64Encoding(key.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == 32;
}

int UpdateController::compareVersions(const QString &a, const QString &b)
{
    static const QRegularExpression separators(QStringLiteral("[^0-9]+"));
    const QStringList pa = a.split(separators, Qt::SkipEmptyParts);
    const QStringList pb = b.split(separators, Qt::SkipEmptyParts);
    for (int i = 0; i < std::max(pa.size(), pb.size()); ++i) {
        const qulonglong x = i < pa.size() ? pa.at(i).toULongLong() : 0;
        const qulonglong y = i < pb.size() ? pb.at(i).toULongLong() : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

std::optional<UpdateController::Release> UpdateController::newestRelease(const QByteArray &feed)
{
    // <rss><channel><item><releaseNotesLink>…</releaseNotesLink>
    //   <enclosure url="…" version="1.2.0" edSignature="base64"/></item>…
    QXmlStreamReader xml(feed);
    std::optional<Release> newest;
    Release current;
    bool inItem = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const auto name = xml.name();
            if (name == QLatin1String("item")) {
                inItem = true;
                current = Release();
            } else if (inItem && name == QLatin1String("releaseNotesLink")) {
                current.notesLink = QUrl(xml.readElementText().trimmed());
            } else if (inItem && name == QLatin1String("enclosure")) {
                const auto attributes = xml.attributes();
                current.download = QUrl(attributes.value(QLatin1String("url")).toString());
                current.version = attributes.value(QLatin1String("version")).toString();
                current.signature = QByteArray::fromBase64(
                    attributes.value(QLatin1String("edSignature")).toLatin1());
            }
        } else if (xml.isEndElement() && xml.name() == QLatin1String("item")) {
            inItem = false;
            if (!current.version.isEmpty() && current.download.isValid()
                && (!newest || compareVersions(current.version, newest->version) > 0))
                newest = current;
        }
    }
    if (xml.hasError())
        return std::nullopt;
    return newest;
}

bool UpdateController::verifySignature(
    const QByteArray &data, const QByteArray &signature, const QByteArray &publicKey)
{
    if (publicKey.size() != 32 || signature.size() != 64)
        return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
            reinterpret_cast<const unsigned char *>(publicKey.constData()),
            size_t(publicKey.size())),
        &EVP_PKEY_free);
    if (!key)
        return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(),
               reinterpret_cast<const unsigned char *>(signature.constData()),
               size_t(signature.size()), reinterpret_cast<const unsigned char *>(data.constData()),
               size_t(data.size()))
        == 1;
}

UpdateController::UpdateController(QObject *parent)
    : UpdateController(
        configured(MARLOX_UPDATE_FEED_URL), configured(MARLOX_UPDATE_PUBLIC_ED_KEY), parent)
{ }

UpdateController::UpdateController(
    const std::optional<QString> &feedURL, const std::optional<QString> &publicKey, QObject *parent)
    : QObject(parent)
{
    m_enabled = isValidFeedURL(feedURL) && isValidPublicKey(publicKey);
    if (!m_enabled)
        return;
    m_feed = QUrl(trimSpacesAndTabs(*feedURL));
    m_publicKey = QByteArray::fromBase64(trimSpacesAndTabs(*publicKey).toLatin1());
    m_network = new QNetworkAccessManager(this);
    m_automatic = Preferences::boolValue(Preferences::automaticallyChecksForUpdates, false);
    m_dailyTimer = new QTimer(this);
    m_dailyTimer->setSingleShot(true);
    connect(m_dailyTimer, &QTimer::timeout, this, [this] { checkForUpdates(false); });
    scheduleAutomaticCheck();
}

UpdateController::~UpdateController() = default;

void UpdateController::setAutomaticallyChecksForUpdates(bool automatic)
{
    if (!m_enabled)
        return;
    Preferences::setValue(Preferences::automaticallyChecksForUpdates, automatic);
    if (automatic == m_automatic)
        return;
    m_automatic = automatic;
    Q_EMIT automaticallyChecksForUpdatesChanged();
    scheduleAutomaticCheck();
}

void UpdateController::scheduleAutomaticCheck()
{
    if (!m_enabled)
        return;
    if (!m_automatic) {
        m_dailyTimer->stop();
        return;
    }
    const QDateTime last = Preferences::value(kLastCheckKey).toDateTime();
    const qint64 since = last.isValid() ? last.msecsTo(QDateTime::currentDateTime()) : kDayMs;
    m_dailyTimer->start(int(std::clamp<qint64>(kDayMs - since, 60'000, kDayMs)));
}

void UpdateController::setChecking(bool checking)
{
    if (checking == m_checking)
        return;
    m_checking = checking;
    Q_EMIT canCheckForUpdatesChanged();
}

void UpdateController::finishWithError(const QString &message, bool interactive)
{
    qCWarning(lcUpdates, "Update check failed: %s", qUtf8Printable(message));
    setChecking(false);
    scheduleAutomaticCheck();
    if (interactive)
        Q_EMIT checkFailed(message);
}

void UpdateController::checkForUpdates(bool interactive)
{
    if (!canCheckForUpdates())
        return;
    setChecking(true);
    Preferences::setValue(kLastCheckKey, QDateTime::currentDateTime());
    QNetworkRequest request(m_feed);
    request.setTransferTimeout(30'000);
    QNetworkReply *reply = m_network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, interactive] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError)
            return finishWithError(reply->errorString(), interactive);
        const auto release = newestRelease(reply->readAll());
        if (!release
            || compareVersions(release->version, QCoreApplication::applicationVersion()) <= 0) {
            qCInfo(lcUpdates, "No newer release than %s",
                qUtf8Printable(QCoreApplication::applicationVersion()));
            setChecking(false);
            scheduleAutomaticCheck();
            if (interactive)
                Q_EMIT upToDate();
            return;
        }
        download(*release, interactive);
    });
}

void UpdateController::download(const Release &release, bool interactive)
{
    if (release.download.scheme().toLower() != QLatin1String("https"))
        return finishWithError(
            QStringLiteral("The update isn't offered over a secure connection."), interactive);
    QNetworkRequest request(release.download);
    request.setTransferTimeout(120'000);
    QNetworkReply *reply = m_network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, release, interactive] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError)
            return finishWithError(reply->errorString(), interactive);
        const QByteArray data = reply->readAll();
        if (!verifySignature(data, release.signature, m_publicKey))
            return finishWithError(QStringLiteral("The update couldn't be verified."), interactive);
        const QString dir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
            + QStringLiteral("/updates");
        QDir().mkpath(dir);
        const QString name = QFileInfo(release.download.path()).fileName();
        QSaveFile file(
            dir + QLatin1Char('/') + (name.isEmpty() ? QStringLiteral("marlox-update") : name));
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
            return finishWithError(file.errorString(), interactive);
        setChecking(false);
        scheduleAutomaticCheck();
        qCInfo(lcUpdates, "Update %s available", qUtf8Printable(release.version));
        Q_EMIT updateAvailable(release.version, release.notesLink, file.fileName());
    });
}

} // namespace marlox

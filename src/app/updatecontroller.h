#pragma once

#include <optional>

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QTimer;

namespace marlox {

// Software updates: off unless the build carries an https feed address with a
// real host and a 32-byte Ed25519 public key. When on, it reads the feed,
// downloads a newer release, checks its signature and tells the user; it never
// installs anything itself (distribution packages update themselves).
class UpdateController : public QObject
{
    Q_OBJECT

public:
    struct Release
    {
        QString version;
        QUrl notesLink;
        QUrl download;
        QByteArray signature; // raw 64 bytes
    };

    // The build's configured feed and key.
    explicit UpdateController(QObject *parent = nullptr);
    UpdateController(const std::optional<QString> &feedURL, const std::optional<QString> &publicKey,
        QObject *parent = nullptr);
    ~UpdateController() override;

    static bool isValidFeedURL(const std::optional<QString> &feedURL);
    static bool isValidPublicKey(const std::optional<QString> &publicKey);
    // <0, 0, >0 like strcmp, comparing dotted numbers numerically.
    static int compareVersions(const QString &a, const QString &b);
    // The newest release in an update feed, or none.
    static std::optional<Release> newestRelease(const QByteArray &feed);
    static bool verifySignature(
        const QByteArray &data, const QByteArray &signature, const QByteArray &publicKey);

    bool isEnabled() const { return m_enabled; }
    bool canCheckForUpdates() const { return m_enabled && !m_checking; }
    bool automaticallyChecksForUpdates() const { return m_automatic; }
    void setAutomaticallyChecksForUpdates(bool automatic);
    void checkForUpdates(bool interactive);

Q_SIGNALS:
    void canCheckForUpdatesChanged();
    void automaticallyChecksForUpdatesChanged();
    // A newer, verified release; file is its downloaded copy.
    void updateAvailable(const QString &version, const QUrl &notesLink, const QString &file);
    // Only for interactive checks.
    void upToDate();
    void checkFailed(const QString &message);

private:
    void setChecking(bool checking);
    void finishWithError(const QString &message, bool interactive);
    void download(const Release &release, bool interactive);
    void scheduleAutomaticCheck();

    bool m_enabled = false;
    bool m_checking = false;
    bool m_automatic = false;
    QUrl m_feed;
    QByteArray m_publicKey;
    QNetworkAccessManager *m_network = nullptr;
    QTimer *m_dailyTimer = nullptr;
};

} // namespace marlox

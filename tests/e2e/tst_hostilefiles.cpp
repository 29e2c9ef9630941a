// marlox-test-labels: fault
// marlox-test-timeout: 300
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <QtEndian>

#include "app/appstate.h"
#include "app/preferences.h"
#include "filing/ocrengine.h"
#include "platform/frontmostapp.h"
#include "storage/bookmarkstore.h"
#include "support/fakes.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

const QString recognized = QStringLiteral("hostile folder capture");

class FixedRecognizer : public TextRecognizer
{
public:
    QString recognizeText(const QImage &image) override
    {
        return image.isNull() ? QString() : recognized;
    }
};

class NoFrontmost : public FrontmostApplication
{
public:
    std::optional<Info> frontmost() override { return std::nullopt; }
};

QByteArray encoded(const char *format, const QColor &color)
{
    QImage image(320, 120, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray chunk(const char *type, const QByteArray &data)
{
    QByteArray out(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), out.data());
    const QByteArray body = QByteArray(type, 4) + data;
    out += body;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(quint32(~0u), crc.data());
    // The CRC is that of zlib; computed here so a strict decoder gets past it.
    quint32 c = 0xffffffffu;
    for (const char ch : body) {
        c ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
    }
    qToBigEndian<quint32>(c ^ 0xffffffffu, crc.data());
    return out + crc;
}

// A valid PNG header claiming 30000×30000 pixels, with no pixel data behind it.
QByteArray pixelBomb()
{
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(30000, header.data());
    qToBigEndian<quint32>(30000, header.data() + 4);
    header[8] = 8; // bit depth
    header[9] = 6; // RGBA
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IEND", {});
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

bool makeSocket(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address {};
    if (size_t(native.size()) >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound
        = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound;
}

bool entryExists(const QString &path)
{
    struct stat info
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

} // namespace

class TestHostileFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void badFilesBesideGoodOnesNeitherStopNorBlockFiling()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString shots = dir.filePath(QStringLiteral("Shots"));
        const QString library = dir.filePath(QStringLiteral("Library"));
        const QString outside = dir.filePath(QStringLiteral("Elsewhere"));
        QVERIFY(QDir().mkpath(shots) && QDir().mkpath(library) && QDir().mkpath(outside));
        const auto in = [&](const QString &name) { return QDir(shots).filePath(name); };

        QFile::remove(Preferences::filePath());
        Preferences::setValue(Preferences::autoSaveEnabled, true);
        BookmarkStore().save(shots, Preferences::screenshotFolderBookmark);
        BookmarkStore().save(library, Preferences::libraryRootBookmark);

        AppStateDependencies deps;
        deps.dialogs = std::make_shared<ScriptedDialogs>();
        deps.makeCapturePrompt = [] { return std::make_unique<RecordingPrompt>(); };
        deps.undoToast = std::make_shared<RecordingToast>();
        deps.ocr = std::make_shared<FixedRecognizer>();
        deps.frontmost = std::make_shared<NoFrontmost>();
        deps.databasePath = dir.filePath(QStringLiteral("library.sqlite3"));
        deps.installSystemObservers = false;
        deps.readRetryDelays = { 0.05, 0.05, 0.05, 0.05 };
        auto state = std::make_unique<AppState>(deps);
        QTRY_VERIFY_WITH_TIMEOUT(state->watchStatus().isWatching(), 30000);

        // The GUI thread's heartbeat: a read of a FIFO or a decode of a bomb
        // there would leave a long gap between ticks.
        QElapsedTimer sinceTick;
        qint64 longestGap = 0;
        QTimer heartbeat;
        heartbeat.setInterval(20);
        connect(&heartbeat, &QTimer::timeout,
            [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
        sinceTick.start();
        heartbeat.start();

        // Never stable (empty) or not a file: the watcher must pass them by.
        const QStringList ignored { in(QStringLiteral("empty.png")), in(QStringLiteral("pipe.png")),
            in(QStringLiteral("socket.png")), in(QStringLiteral("x.png")),
            in(QStringLiteral("loop.png")) };
        QVERIFY(writeFile(ignored[0], {}));
        QCOMPARE(::mkfifo(QFile::encodeName(ignored[1]).constData(), 0600), 0);
        QVERIFY(makeSocket(ignored[2]));
        QVERIFY(QDir().mkpath(ignored[3]));
        QCOMPARE(::symlink("loop.png", QFile::encodeName(ignored[4]).constData()), 0);

        // Stable but undecodable: indexed in the Inbox without text, left where they are.
        const QByteArray jpeg = encoded("JPEG", Qt::darkGreen);
        const QList<std::pair<QString, QByteArray>> unreadable {
            { in(QStringLiteral("cut.png")), encoded("PNG", Qt::darkRed).left(200) },
            { in(QStringLiteral("cut.jpg")), jpeg.left(jpeg.size() - 2) },
            { in(QStringLiteral("text.png")), QByteArray("just some text, not an image\n") },
            { in(QStringLiteral("bomb.png")), pixelBomb() },
        };
        for (const auto &[path, bytes] : unreadable)
            QVERIFY(writeFile(path, bytes));

        // A link out of the folder: whatever becomes of the link, its target stays whole.
        const QString target = QDir(outside).filePath(QStringLiteral("kept.png"));
        const QByteArray targetBytes = encoded("PNG", Qt::darkBlue);
        QVERIFY(writeFile(target, targetBytes));
        QCOMPARE(::symlink(QFile::encodeName(target).constData(),
                     QFile::encodeName(in(QStringLiteral("link.png"))).constData()),
            0);

        const QStringList good { in(QStringLiteral("Screenshot with spaces.png")),
            in(QStringLiteral("it's a \"quoted\" name.png")), in(QStringLiteral("line\nbreak.png")),
            in(QStringLiteral("Снимок экрана 截图.png")), in(QStringLiteral("plain.png")) };
        for (const QString &path : good)
            QVERIFY(writeFile(path, encoded("PNG", Qt::white)));

        const auto inboxPaths = [&] {
            QStringList paths;
            for (const ScreenshotRecord &record : state->database().allRecords())
                if (record.status == ScreenshotStatus::inbox)
                    paths.append(record.path);
            return paths;
        };
        const auto goodLeft
            = [&] { return std::count_if(good.cbegin(), good.cend(), entryExists); };
        QTRY_COMPARE_WITH_TIMEOUT(goodLeft(), 0, 120000);
        QTRY_COMPARE_WITH_TIMEOUT(inboxPaths().size(), unreadable.size(), 60000);
        heartbeat.stop();

        QVERIFY2(longestGap < 2000,
            qPrintable(QStringLiteral("GUI thread stalled %1 ms").arg(longestGap)));

        for (const auto &[path, bytes] : unreadable) {
            QVERIFY2(inboxPaths().contains(path), qPrintable(path));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), bytes);
        }
        for (const ScreenshotRecord &record : state->database().allRecords()) {
            if (record.status != ScreenshotStatus::inbox)
                continue;
            QCOMPARE(record.fileSize, 0);
            QCOMPARE(state->database().ocrText(record.id).value_or(QString()), QString());
        }
        for (const QString &path : ignored) {
            QVERIFY2(entryExists(path), qPrintable(path));
            for (const ScreenshotRecord &record : state->database().allRecords())
                QVERIFY2(record.path != path, qPrintable(path));
        }

        int filed = 0;
        const QString general = QDir(library).filePath(QStringLiteral("General"));
        for (const ScreenshotRecord &record : state->database().allRecords()) {
            if (record.status != ScreenshotStatus::filed)
                continue;
            ++filed;
            QCOMPARE(record.folder, QStringLiteral("General"));
            QCOMPARE(QFileInfo(record.path).absolutePath(), general);
            QVERIFY(entryExists(record.path));
            QCOMPARE(state->database().ocrText(record.id), std::optional<QString>(recognized));
        }
        QVERIFY(filed >= good.size());
        qInfo("Filed %d, longest GUI-thread gap %lld ms", filed, longestGap);
        QFile kept(target);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), targetBytes);

        state.reset();
        QThreadPool::globalInstance()->waitForDone();
    }
};

MARLOX_TEST_MAIN(TestHostileFiles)
#include "tst_hostilefiles.moc"

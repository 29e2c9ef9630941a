// marlox-test-labels: fault
// marlox-test-timeout: 300
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/imagebytes.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

const QString recognized = QStringLiteral("hostile folder capture");

QByteArray encoded(const char *format, const QColor &color)
{
    return imageBytes(filledImage({ 320, 120 }, color), format);
}

// zlib's checksums, from the copy Qt already loaded: a loop over 200 MB in a
// debug build takes many seconds.
using Checksum = unsigned long (*)(unsigned long, const unsigned char *, unsigned int);

unsigned long checksum(const char *name, unsigned long initial, const QByteArray &data)
{
    const auto function = reinterpret_cast<Checksum>(::dlsym(RTLD_DEFAULT, name));
    if (!function)
        qFatal("zlib's %s is not loaded", name);
    unsigned long value = initial;
    const auto *p = reinterpret_cast<const unsigned char *>(data.constData());
    for (qsizetype done = 0; done < data.size();) {
        const auto length = unsigned(std::min<qsizetype>(data.size() - done, 1 << 30));
        value = function(value, p + done, length);
        done += length;
    }
    return value;
}

QByteArray chunk(const char *type, const QByteArray &data)
{
    QByteArray out(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), out.data());
    const QByteArray body = QByteArray(type, 4) + data;
    out += body;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(quint32(checksum("crc32", 0, body)), crc.data());
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

// A real, valid grey PNG of about 200 MB: 10000×20000 pixels stored without
// compression, so it is cheap to make and as big on disk as in memory.
QByteArray hugePng()
{
    constexpr int width = 10000;
    constexpr int height = 20000;
    constexpr qsizetype rowBytes = width + 1;
    constexpr qsizetype blockSize = 65535;
    QByteArray raw(rowBytes * height, Qt::Uninitialized);
    QByteArray rows[2] = { QByteArray(rowBytes, '\0'), QByteArray(rowBytes, '\0') };
    for (int x = 0; x < width; ++x) {
        rows[0][x + 1] = char((x / 64) % 2 ? 0x30 : 0xe0);
        rows[1][x + 1] = char((x / 64) % 2 ? 0xe0 : 0x30);
    }
    for (int y = 0; y < height; ++y)
        memcpy(raw.data() + y * rowBytes, rows[(y / 64) % 2].constData(), size_t(rowBytes));

    QByteArray idat;
    idat.reserve(2 + (raw.size() / blockSize + 1) * 5 + raw.size() + 4);
    idat.append("\x78\x01", 2);
    for (qsizetype done = 0; done < raw.size();) {
        const qsizetype length = std::min(blockSize, raw.size() - done);
        const char header[5] = { char(done + length == raw.size() ? 1 : 0), char(length & 0xff),
            char(length >> 8), char(~length & 0xff), char((~length >> 8) & 0xff) };
        idat.append(header, 5);
        idat.append(raw.constData() + done, length);
        done += length;
    }
    QByteArray adler(4, '\0');
    qToBigEndian<quint32>(quint32(checksum("adler32", 1, raw)), adler.data());
    idat += adler;

    QByteArray header(13, '\0');
    qToBigEndian<quint32>(width, header.data());
    qToBigEndian<quint32>(height, header.data() + 4);
    header[8] = 8; // bit depth
    header[9] = 0; // grey
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", idat)
        + chunk("IEND", {});
}

// Files every capture it sees, reading "recognized" in each.
std::unique_ptr<AppState> autoSavingState(const AppStateScene &scene)
{
    scene.rememberFolders();
    Preferences::setValue(Preferences::autoSaveEnabled, true);
    return scene.makeState([](AppStateDependencies &deps) {
        deps.ocr = FakeRecognizer::answering(recognized);
        deps.frontmost = std::make_shared<NoFrontmost>();
        deps.readRetryDelays = { 0.05, 0.05, 0.05, 0.05 };
    });
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
        const AppStateScene scene;
        const QString &shots = scene.shots;
        const QString &library = scene.library;
        const QString outside = scene.dir.filePath(QStringLiteral("Elsewhere"));
        QVERIFY(QDir().mkpath(outside));
        const auto in = [&](const QString &name) { return QDir(shots).filePath(name); };
        auto state = autoSavingState(scene);
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

        AppStateScene::finish(state);
    }

    void hugeImageAndFiveHundredFilesAtOnce()
    {
        const AppStateScene scene;
        const QString &shots = scene.shots;
        const QString &library = scene.library;
        auto state = autoSavingState(scene);
        QTRY_VERIFY_WITH_TIMEOUT(state->watchStatus().isWatching(), 30000);

        // Made before the heartbeat starts: the test's own work is not Marlox's.
        const QByteArray huge = hugePng();
        QVERIFY(huge.size() > 200'000'000);
        const QByteArray small = encoded("PNG", Qt::white);

        QElapsedTimer sinceTick;
        qint64 longestGap = 0;
        QTimer heartbeat;
        heartbeat.setInterval(20);
        connect(&heartbeat, &QTimer::timeout,
            [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
        sinceTick.start();
        heartbeat.start();

        const QString hugePath = QDir(shots).filePath(QStringLiteral("huge.png"));
        QVERIFY(writeFile(hugePath, huge));
        QStringList many;
        for (int i = 0; i < 500; ++i) {
            many.append(QDir(shots).filePath(QStringLiteral("burst %1.png").arg(i)));
            QVERIFY(writeFile(many.last(), small));
        }
        // The writes above ran on this thread too: only gaps from here on count.
        QCoreApplication::processEvents();
        sinceTick.restart();
        longestGap = 0;

        const auto left = [&] { return std::count_if(many.cbegin(), many.cend(), entryExists); };
        QTRY_COMPARE_WITH_TIMEOUT(left(), 0, 180000);
        // More pixels than Qt decodes (its allocation limit): after the read
        // retries it waits in the Inbox without text, untouched.
        QTRY_VERIFY_WITH_TIMEOUT(state->database().idForPath(hugePath).has_value(), 60000);
        heartbeat.stop();
        QVERIFY2(longestGap < 2000,
            qPrintable(QStringLiteral("GUI thread stalled %1 ms").arg(longestGap)));

        const ScreenshotRecord hugeRecord
            = *state->database().record(*state->database().idForPath(hugePath));
        QCOMPARE(hugeRecord.status, ScreenshotStatus::inbox);
        QCOMPARE(state->database().ocrText(hugeRecord.id).value_or(QString()), QString());
        QFile hugeFile(hugePath);
        QVERIFY(hugeFile.open(QIODevice::ReadOnly));
        QCOMPARE(hugeFile.readAll(), huge);

        const QString general = QDir(library).filePath(QStringLiteral("General"));
        int filed = 0;
        for (const ScreenshotRecord &record : state->database().allRecords()) {
            if (record.id == hugeRecord.id)
                continue;
            QCOMPARE(record.status, ScreenshotStatus::filed);
            QCOMPARE(QFileInfo(record.path).absolutePath(), general);
            QCOMPARE(QFileInfo(record.path).size(), record.fileSize);
            ++filed;
        }
        QCOMPARE(filed, 500);
        qInfo("Filed %d, kept a %lld-byte image in the Inbox, longest GUI-thread gap %lld ms",
            filed, qint64(huge.size()), longestGap);
        AppStateScene::finish(state);
    }
};

MARLOX_TEST_MAIN(TestHostileFiles)
#include "tst_hostilefiles.moc"

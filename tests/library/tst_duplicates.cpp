#include <algorithm>
#include <cerrno>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "app/appstate.h"
#include "app/duplicatefinder.h"
#include "filing/contenthash.h"
#include "library/duplicatesview.h"
#include "platform/trash.h"
#include "support/appstatescene.h"
#include "support/imagebytes.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

// A window with a title bar and a clock; `layout` 0 has a sidebar and rows
// of `text`, 1 a toolbar and one large picture.
QByteArray windowPng(int layout, const QString &clock,
    const QString &text = QStringLiteral("Meeting notes, line %1 of the agenda"))
{
    QImage image(800, 500, QImage::Format_RGB32);
    image.fill(QColor(236, 236, 236));
    QPainter painter(&image);
    painter.fillRect(0, 0, 800, 28, QColor(50, 50, 60));
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 0, 780, 28), Qt::AlignRight | Qt::AlignVCenter, clock);
    painter.setPen(Qt::black);
    if (layout == 0) {
        painter.fillRect(0, 28, 200, 472, QColor(70, 80, 100));
        for (int y = 60; y < 480; y += 24)
            painter.drawText(220, y, text.arg(y));
    } else {
        painter.fillRect(0, 28, 800, 60, QColor(200, 205, 215));
        painter.fillRect(120, 140, 560, 320, QColor(30, 110, 60));
        painter.fillRect(300, 220, 200, 140, QColor(240, 200, 40));
    }
    painter.end();
    return imageBytes(image);
}

} // namespace

class TestDuplicates : public QObject
{
    Q_OBJECT

    std::unique_ptr<AppStateScene> m_scene;
    std::shared_ptr<RecordingToast> m_toast;
    std::shared_ptr<FolderTrasher> m_trasher;
    std::unique_ptr<AppState> m_state;

    qint64 add(const QString &relative, const QByteArray &bytes, double createdAt,
        ScreenshotStatus status, bool withHash = true)
    {
        const QString path = QDir(m_scene->library).filePath(relative);
        writeFile(path, bytes);
        const QString folder
            = status == ScreenshotStatus::filed ? relative.section(u'/', 0, 0) : QString();
        const qint64 id = m_state->database().insertOrUpdate(path, QFileInfo(path).baseName(),
            folder, createdAt, QString(), withHash ? ContentHash::ofData(bytes) : QString(), status,
            bytes.size());
        m_state->refreshRecord(id);
        return id;
    }

    static QList<qint64> ids(const QList<ScreenshotRecord> &group)
    {
        QList<qint64> out;
        for (const ScreenshotRecord &record : group)
            out.append(record.id);
        std::sort(out.begin(), out.end());
        return out;
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<AppStateScene>();
        m_toast = std::make_shared<RecordingToast>();
        m_trasher = std::make_shared<FolderTrasher>();
        m_trasher->folder = m_scene->dir.filePath(QStringLiteral("Trash"));
        QDir().mkpath(m_trasher->folder);
        m_state = m_scene->makeState([this](AppStateDependencies &deps) {
            deps.undoToast = m_toast;
            deps.trasher = m_trasher;
        });
    }
    void cleanup() { AppStateScene::finish(m_state); }

    void keepOneKeepsTheOldestFiledAndUndoBringsTheOthersBack()
    {
        const QByteArray same = windowPng(0, QStringLiteral("10:41"));
        const qint64 newer = add(QStringLiteral("Work/a.png"), same, 3000, ScreenshotStatus::filed);
        const qint64 kept = add(QStringLiteral("Old/b.png"), same, 2000, ScreenshotStatus::filed);
        // Older, but in the Inbox: not the one kept.
        const qint64 inbox = add(QStringLiteral("c.png"), same, 1000, ScreenshotStatus::inbox);
        add(QStringLiteral("Work/other.png"), windowPng(1, QStringLiteral("10:41")), 500,
            ScreenshotStatus::filed);

        DuplicatesView view(&m_state->duplicateActions());
        QSignalSpy shown(&view, &DuplicatesView::groupsShown);
        view.show();
        QVERIFY(shown.wait(10000));
        const DuplicateListing listing = m_state->duplicates().listing();
        QCOMPARE(listing.identical.size(), 1);
        QCOMPARE(ids(listing.identical.first()), (QList<qint64> { newer, kept, inbox }));
        QCOMPARE(view.keepOneButtons().size(), 1);
        QVERIFY(view.keepOneButtons().first()->toolTip().contains(QStringLiteral("oldest filed")));

        const QString newerPath = m_state->database().record(newer)->path;
        view.keepOneButtons().first()->click();
        QVERIFY(m_state->database().record(kept).has_value());
        QVERIFY(!m_state->database().record(newer).has_value());
        QVERIFY(!m_state->database().record(inbox).has_value());
        QVERIFY(!QFile::exists(newerPath));
        QCOMPARE(m_toast->shown.size(), 1);

        m_toast->shown.first().onUndo();
        QVERIFY(m_state->database().record(newer).has_value());
        QVERIFY(m_state->database().record(inbox).has_value());
        QVERIFY(QFile::exists(newerPath));
        QCOMPARE(QDir(m_trasher->folder).entryList(QDir::Files), QStringList());
    }

    void sameWindowWithAnotherClockIsSimilarAndHashedInTheBackground()
    {
        // Indexed the way older versions left them: no perceptual hash.
        const qint64 first = add(QStringLiteral("Work/1.png"),
            windowPng(0, QStringLiteral("10:41")), 100, ScreenshotStatus::filed);
        const qint64 second = add(QStringLiteral("Work/2.png"),
            windowPng(0, QStringLiteral("11:58")), 200, ScreenshotStatus::filed);
        add(QStringLiteral("Work/3.png"), windowPng(1, QStringLiteral("10:41")), 300,
            ScreenshotStatus::filed);
        // The same program showing another document.
        add(QStringLiteral("Work/5.png"),
            windowPng(0, QStringLiteral("10:41"), QStringLiteral("Budget %1: travel")), 500,
            ScreenshotStatus::filed);
        // Tried once and marked, or the background pass would never end.
        add(QStringLiteral("Work/4.png"), "not an image", 400, ScreenshotStatus::filed);

        DuplicateFinder &finder = m_state->duplicates();
        QTRY_VERIFY_WITH_TIMEOUT((finder.fillMissingHashes(),
                                     m_state->database().rowsWithoutPerceptualHash(10).isEmpty()),
            20000);
        const DuplicateListing listing = DuplicateFinder::computeListing(m_state->database());
        QVERIFY(listing.identical.isEmpty());
        QCOMPARE(listing.similar.size(), 1);
        QCOMPARE(ids(listing.similar.first()), (QList<qint64> { first, second }));

        DuplicatesView view(&m_state->duplicateActions());
        QSignalSpy shown(&view, &DuplicatesView::groupsShown);
        view.show();
        QVERIFY(shown.wait(10000));
        QVERIFY(view.keepOneButtons().isEmpty());
        const auto *heading
            = view.findChild<QLabel *>(QStringLiteral("library.duplicates.similarHeading"));
        QVERIFY(heading && heading->isVisible());
    }
};

MARLOX_TEST_MAIN(TestDuplicates)
#include "tst_duplicates.moc"

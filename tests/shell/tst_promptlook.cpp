// Lays out the prompt and the toast in the states a user meets and checks
// that nothing is cut off or overlaps. With MARLOX_SCREENSHOT_DIR set (run
// under an X server: QT_QPA_PLATFORM=xcb) each state is also captured from
// the screen with ImageMagick's `import` for the README.
#include <limits>

#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include "shell/captureprompt.h"
#include "shell/prompttextfields.h"
#include "shell/undotoast.h"
#include "support/testmain.h"

using namespace marlox;

namespace {
// A made-up screenshot: a window with a title bar and some lines of text.
QString drawScreenshot(const QString &folder)
{
    QImage image(1600, 900, QImage::Format_RGB32);
    image.fill(QColor(0xec, 0xef, 0xf4));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRect(0, 0, 1600, 70), QColor(0x2e, 0x34, 0x40));
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPixelSize(34);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRect(40, 0, 1000, 70), Qt::AlignVCenter, QStringLiteral("Boarding pass"));
    font.setBold(false);
    font.setPixelSize(44);
    painter.setFont(font);
    painter.setPen(QColor(0x3b, 0x42, 0x52));
    const QStringList lines { "Flight MX 2041   Berlin → Lisbon", "Gate B12   Boarding 10:35",
        "Seat 14C   Group 2" };
    for (int i = 0; i < lines.size(); ++i)
        painter.drawText(QPoint(80, 220 + i * 110), lines.at(i));
    painter.setBrush(QColor(0x5e, 0x81, 0xac));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRect(1150, 180, 330, 330), 24, 24);
    painter.end();
    const QString path = folder + QStringLiteral("/Screenshot 2026-12-06 at 10.15.02.png");
    image.save(path);
    return path;
}

CapturePromptContent content(const QString &path, int queueCount)
{
    CapturePromptContent c;
    c.recordId = 1;
    c.path = path;
    c.defaultTitle = QStringLiteral("Firefox 2026-12-06 at 10.15.02");
    c.initialFolder = QStringLiteral("Travel");
    c.queueCount = queueCount;
    c.folderNames = { "General", "Personal", "Receipts", "Travel", "Work", "Workshop" };
    c.onSave = [](const QString &, const QString &) {
        return std::optional<QString>(QStringLiteral(
            "No library folder set — choose one from the menu bar, then try again."));
    };
    c.onSkip = [](const std::optional<QString> &) {};
    c.onDiscard = [] {};
    return c;
}

// Every visible part lies inside the window and no two siblings overlap.
void verifyLaidOut(QWidget *window)
{
    const QRect bounds = window->rect();
    for (QWidget *child : window->findChildren<QWidget *>()) {
        if (!child->isVisibleTo(window))
            continue;
        const QRect placed(child->mapTo(window, QPoint(0, 0)), child->size());
        QVERIFY2(bounds.contains(placed),
            qPrintable(child->objectName() + QStringLiteral(" is cut off")));
        for (QWidget *sibling :
            child->parentWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            if (sibling == child || !sibling->isVisibleTo(window))
                continue;
            QVERIFY2(!child->geometry().intersects(sibling->geometry()),
                qPrintable(
                    child->objectName() + QStringLiteral(" overlaps ") + sibling->objectName()));
        }
    }
}

void capture(const QString &name, const QRect &area)
{
    const QString folder = qEnvironmentVariable("MARLOX_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return;
    QTest::qWait(400);
    const QString raw = folder + QStringLiteral("/raw-") + name;
    QCOMPARE(QProcess::execute(QStringLiteral("import"), { "-window", "root", raw }), 0);
    const QRect cropped = area.adjusted(-24, -24, 24, 24);
    QCOMPARE(QProcess::execute(QStringLiteral("convert"),
                 { raw, "-crop",
                     QStringLiteral("%1x%2+%3+%4")
                         .arg(cropped.width())
                         .arg(cropped.height())
                         .arg(cropped.x())
                         .arg(cropped.y()),
                     "+repage", folder + QStringLiteral("/") + name }),
        0);
    QFile::remove(raw);
}
} // namespace

class TestPromptLook : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void oneCapture();
    void threeQueued();
    void withAnError();
    void withSuggestionsOpen();
    void undoToast();

private:
    QTemporaryDir m_dir;
    QString m_shot;
    QWidget m_desktop;
};

void TestPromptLook::initTestCase()
{
    m_shot = drawScreenshot(m_dir.path());
    // Every capture's preview is there when its picture is taken.
    CapturePromptController::setSynchronousDecodeLimit(std::numeric_limits<qint64>::max());
    if (qEnvironmentVariableIsEmpty("MARLOX_SCREENSHOT_DIR"))
        return;
    // A plain desktop behind the windows instead of the bare root window.
    m_desktop.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint);
    m_desktop.setAttribute(Qt::WA_ShowWithoutActivating);
    QPalette palette = m_desktop.palette();
    palette.setColor(QPalette::Window, QColor(0x7b, 0x8f, 0xa6));
    m_desktop.setPalette(palette);
    m_desktop.setAutoFillBackground(true);
    m_desktop.setGeometry(QGuiApplication::primaryScreen()->geometry());
    m_desktop.show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_desktop));
}

void TestPromptLook::oneCapture()
{
    CapturePromptController prompt;
    prompt.show(content(m_shot, 1));
    QVERIFY(QTest::qWaitForWindowExposed(prompt.panel()));
    QTRY_VERIFY(prompt.panel()->findChild<QLineEdit *>("capturePrompt.title")->hasFocus());
    verifyLaidOut(prompt.panel());
    capture(QStringLiteral("prompt-single.png"), prompt.panel()->frameGeometry());
}

void TestPromptLook::threeQueued()
{
    CapturePromptController prompt;
    CapturePromptContent c = content(m_shot, 3);
    c.title = QStringLiteral("Boarding pass Lisbon");
    prompt.show(c);
    QVERIFY(QTest::qWaitForWindowExposed(prompt.panel()));
    QVERIFY(prompt.panel()->findChild<QLabel *>("capturePrompt.queueCounter")->isVisible());
    verifyLaidOut(prompt.panel());
    capture(QStringLiteral("prompt-queue.png"), prompt.panel()->frameGeometry());
}

void TestPromptLook::withAnError()
{
    CapturePromptController prompt;
    CapturePromptContent c = content(m_shot, 2);
    prompt.show(c);
    QVERIFY(QTest::qWaitForWindowExposed(prompt.panel()));
    auto *title = prompt.panel()->findChild<QLineEdit *>("capturePrompt.title");
    QTRY_VERIFY(title->hasFocus());
    QTest::keyClicks(title, QStringLiteral("Boarding pass"));
    QTest::keyClick(title, Qt::Key_Return);
    auto *error = prompt.panel()->findChild<QLabel *>("capturePrompt.error");
    QVERIFY(error->isVisible());
    QTRY_COMPARE(prompt.panel()->height(), prompt.panel()->view()->fittingHeight());
    verifyLaidOut(prompt.panel());
    capture(QStringLiteral("prompt-error.png"), prompt.panel()->frameGeometry());
}

void TestPromptLook::withSuggestionsOpen()
{
    CapturePromptController prompt;
    CapturePromptContent c = content(m_shot, 1);
    c.title = QStringLiteral("Standup notes");
    prompt.show(c);
    QVERIFY(QTest::qWaitForWindowExposed(prompt.panel()));
    auto *folder = prompt.panel()->findChild<QLineEdit *>("capturePrompt.folder");
    QTRY_VERIFY(prompt.panel()->findChild<QLineEdit *>("capturePrompt.title")->hasFocus());
    QTest::keyClick(prompt.panel()->findChild<QLineEdit *>("capturePrompt.title"), Qt::Key_Tab);
    QTRY_VERIFY(folder->hasFocus());
    folder->selectAll();
    QTest::keyClicks(folder, QStringLiteral("wo"));
    QTest::keyClick(folder, Qt::Key_Down);
    QVERIFY(prompt.panel()->findChild<QWidget *>("capturePrompt.suggestions")->isVisible());
    QTRY_COMPARE(prompt.panel()->height(), prompt.panel()->view()->fittingHeight());
    verifyLaidOut(prompt.panel());
    capture(QStringLiteral("prompt-suggestions.png"), prompt.panel()->frameGeometry());
}

void TestPromptLook::undoToast()
{
    CapturePromptController prompt;
    prompt.show(content(m_shot, 1));
    QVERIFY(QTest::qWaitForWindowExposed(prompt.panel()));
    UndoToastController toasts({ .clock = {}, .timerScale = 100.0 });
    toasts.show({}, {}, *prompt.panelFrame());
    QVERIFY(QTest::qWaitForWindowExposed(toasts.toast()));
    verifyLaidOut(toasts.toast());
    const QRect toast = toasts.toast()->frameGeometry();
    capture(QStringLiteral("undo-toast.png"),
        QRect(prompt.panelFrame()->x(), toast.y() - 60, prompt.panelFrame()->width(), 100));
}

MARLOX_TEST_MAIN(TestPromptLook)
#include "tst_promptlook.moc"

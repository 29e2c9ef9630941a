#include <limits>

#include <QAccessible>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "shell/captureprompt.h"
#include "shell/prompttextfields.h"
#include "shell/undotoast.h"
#include "support/imagebytes.h"
#include "support/testmain.h"

using namespace marlox;
using Screen = CapturePromptGeometry::Screen;

namespace {
const QStringList folders { "General", "Personal", "Receipts", "Work", "Workshop" };

// What the prompt asked of the coordinator.
struct Decisions
{
    QList<QPair<QString, QString>> saves;
    QList<std::optional<QString>> skips;
    int discards = 0;
    std::optional<QString> saveError;

    CapturePromptContent content(int queueCount = 1, const QString &folder = "General")
    {
        CapturePromptContent c;
        c.recordId = 7;
        c.path = QStringLiteral("/nonexistent/shot.png");
        c.defaultTitle = QStringLiteral("Firefox 2026-12-06 at 10.15.02");
        c.initialFolder = folder;
        c.queueCount = queueCount;
        c.folderNames = folders;
        c.onSave = [this](const QString &title, const QString &f) {
            saves.append({ title, f });
            return saveError;
        };
        c.onSkip = [this](const std::optional<QString> &title) { skips.append(title); };
        c.onDiscard = [this] { ++discards; };
        return c;
    }
};

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
            if (sibling != child && sibling->isVisibleTo(window))
                QVERIFY2(!child->geometry().intersects(sibling->geometry()),
                    qPrintable(child->objectName() + " overlaps " + sibling->objectName()));
        }
    }
}

QString writeImage(const QTemporaryDir &dir, QSize size, const QColor &color)
{
    const QString path = dir.filePath(QStringLiteral("shot.png"));
    return test::filledImage(size, color).save(path) ? path : QString();
}
} // namespace

class TestCapturePrompt : public QObject
{
    Q_OBJECT

    Decisions d;
    std::unique_ptr<CapturePromptController> prompt;

    template <typename T> T *find(const char *name) const
    {
        return prompt->panel()->findChild<T *>(QLatin1String(name));
    }

    QStringList rowTexts() const
    {
        QStringList texts;
        auto *box = find<QWidget>("capturePrompt.suggestions");
        if (!box->isVisible())
            return texts;
        for (auto *row : box->findChildren<FolderSuggestionRow *>())
            if (row->isVisible())
                texts.append(row->text() + (row->isHighlighted() ? "*" : ""));
        return texts;
    }

    // Shows the prompt active, with the focus in the title field.
    bool showActive(const CapturePromptContent &content)
    {
        prompt->show(content);
        return QTest::qWaitForWindowActive(prompt->panel()) && QTest::qWaitFor([this] {
            return find<QLineEdit>("capturePrompt.title")->hasFocus();
        });
    }

    // Puts the focus in the folder field and replaces its text by typing.
    void typeFolder(const QString &text) const
    {
        auto *field = find<FolderAutocompleteField>("capturePrompt.folder");
        field->setFocus(Qt::TabFocusReason);
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }

private Q_SLOTS:
    void init()
    {
        d = Decisions();
        prompt = std::make_unique<CapturePromptController>();
    }

    void cleanup() { prompt.reset(); }

    void placement_data()
    {
        QTest::addColumn<QList<Screen>>("screens");
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<QPoint>("origin");
        const Screen left { QRect(0, 0, 1600, 1000), QRect(0, 32, 1600, 968) };
        const Screen right { QRect(1600, 0, 1280, 800), QRect(1600, 0, 1280, 760) };
        const Screen narrow { QRect(0, 0, 300, 600), QRect(10, 25, 290, 575) };
        QTest::newRow("screen under the pointer")
            << QList<Screen> { left, right } << QPoint(2000, 300) << QPoint(2880 - 360 - 20, 20);
        QTest::newRow("below the top panel")
            << QList<Screen> { left, right } << QPoint(5, 5) << QPoint(1600 - 360 - 20, 52);
        QTest::newRow("pointer off every screen uses the first")
            << QList<Screen> { right, left } << QPoint(-50, -50) << QPoint(2880 - 360 - 20, 20);
        // 290 - 40 = 250 points of clamped width: the right edge still sits 20 in.
        QTest::newRow("narrow screen clamps the width")
            << QList<Screen> { narrow } << QPoint(5, 5) << QPoint(10 + 290 - 250 - 20, 45);
        QTest::newRow("no screens") << QList<Screen> {} << QPoint(0, 0) << QPoint(-20, 20);
    }
    void placement()
    {
        QFETCH(QList<Screen>, screens);
        QFETCH(QPoint, pointer);
        QFETCH(QPoint, origin);
        QCOMPARE(CapturePromptGeometry::placement(screens, pointer, QSize(360, 420)), origin);
    }

    void resizeRule_data()
    {
        QTest::addColumn<qreal>("height");
        QTest::addColumn<bool>("applied");
        QTest::newRow("half a point more stays") << 400.5 << false;
        QTest::newRow("half a point less stays") << 399.5 << false;
        QTest::newRow("just over half a point grows") << 400.51 << true;
        QTest::newRow("shrinks") << 330.0 << true;
        QTest::newRow("zero is ignored") << 0.0 << false;
    }
    void resizeRule()
    {
        QFETCH(qreal, height);
        QFETCH(bool, applied);
        const QRectF frame(1220, 52, 360, 400);
        const std::optional<QRectF> resized = CapturePromptGeometry::resized(frame, height);
        QCOMPARE(resized.has_value(), applied);
        if (resized)
            QCOMPARE(*resized, QRectF(1220, 52, 360, height));
    }

    void showsAFloatingToolPanelWithItsParts()
    {
        prompt->show(d.content());
        CapturePromptPanel *panel = prompt->panel();
        QVERIFY(panel->isVisible());
        QVERIFY(panel->windowFlags().testFlag(Qt::Tool));
        QVERIFY(panel->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(prompt->hasModel());
        QCOMPARE(prompt->recordId(), std::optional<qint64>(7));

        auto *title = find<CommitTextField>("capturePrompt.title");
        auto *folder = find<FolderAutocompleteField>("capturePrompt.folder");
        QCOMPARE(title->accessibleName(), QStringLiteral("Title"));
        QCOMPARE(title->placeholderText(), d.content().defaultTitle);
        QCOMPARE(folder->accessibleName(), QStringLiteral("Folder"));
        QCOMPARE(folder->placeholderText(), QStringLiteral("Folder (General)"));
        QCOMPARE(folder->text(), QStringLiteral("General"));
        const QList<QPair<const char *, QString>> buttons {
            { "capturePrompt.discard", "Moves the screenshot to the Trash" },
            { "capturePrompt.skip", "Leaves the screenshot in the Inbox" },
            { "capturePrompt.save", "Files the screenshot in the chosen folder" },
        };
        int previousX = -1;
        for (const auto &[name, hint] : buttons) {
            auto *button = find<QPushButton>(name);
            QVERIFY2(button, name);
            QCOMPARE(button->accessibleDescription(), hint);
            QVERIFY(button->x() > previousX);
            previousX = button->x();
        }
        QCOMPARE(find<QPushButton>("capturePrompt.discard")->shortcut(),
            QKeySequence(Qt::CTRL | Qt::Key_Backspace));
        QVERIFY(find<QPushButton>("capturePrompt.save")->isDefault());
        QCOMPARE(find<QLabel>("capturePrompt.hint")->text(),
            QStringLiteral("Return save · Esc skip · Ctrl+⌫ discard"));
        QVERIFY(!find<QLabel>("capturePrompt.error")->isVisible());
        QVERIFY(!find<QWidget>("capturePrompt.preview")->isVisible());
    }

    void partsFitWithoutOverlap_data()
    {
        QTest::addColumn<QString>("state");
        for (const char *state :
            { "one capture", "three queued", "an error", "suggestions open", "undo toast" })
            QTest::newRow(state) << QString::fromLatin1(state);
    }

    // Laid out in the states a user meets, with a preview.
    void partsFitWithoutOverlap()
    {
        QFETCH(QString, state);
        QTemporaryDir dir;
        CapturePromptContent content = d.content(state == QLatin1String("three queued") ? 3 : 1);
        content.path = writeImage(dir, QSize(1600, 900), Qt::darkCyan);
        content.title = QStringLiteral("Boarding pass Lisbon");
        d.saveError = QStringLiteral(
            "No library folder set — choose one from the menu bar, then try again.");
        CapturePromptController::setSynchronousDecodeLimit(std::numeric_limits<qint64>::max());
        const auto restore
            = qScopeGuard([] { CapturePromptController::setSynchronousDecodeLimit(1'000'000); });
        QVERIFY(showActive(content));
        QVERIFY(find<QWidget>("capturePrompt.preview")->isVisible());
        QCOMPARE(find<QLabel>("capturePrompt.queueCounter")->isVisible(), content.queueCount > 1);
        if (state == QLatin1String("an error")) {
            QTest::keyClick(find<QLineEdit>("capturePrompt.title"), Qt::Key_Return);
            QVERIFY(find<QLabel>("capturePrompt.error")->isVisible());
        } else if (state == QLatin1String("suggestions open")) {
            typeFolder(QStringLiteral("wo"));
            QTest::keyClick(find<QLineEdit>("capturePrompt.folder"), Qt::Key_Down);
            QVERIFY(find<QWidget>("capturePrompt.suggestions")->isVisible());
        }
        QTRY_COMPARE(prompt->panel()->height(), prompt->panel()->view()->fittingHeight());
        verifyLaidOut(prompt->panel());
        if (state == QLatin1String("undo toast")) {
            UndoToastController toasts({ .clock = {}, .timerScale = 100.0 });
            toasts.show({}, {}, *prompt->panelFrame());
            QVERIFY(QTest::qWaitForWindowExposed(toasts.toast()));
            verifyLaidOut(toasts.toast());
        }
    }

    void titleIsFocusedAndSelectedAfterAppearing()
    {
        CapturePromptContent content = d.content();
        content.title = QStringLiteral("Boarding pass");
        QVERIFY(showActive(content));
        auto *title = find<CommitTextField>("capturePrompt.title");
        QCOMPARE(title->selectedText(), QStringLiteral("Boarding pass"));

        // A title replaced from outside is selected whole; a folder is not.
        prompt->model()->setTitle(QStringLiteral("Gate change"));
        QCOMPARE(title->selectedText(), QStringLiteral("Gate change"));
        prompt->model()->setFolder(QStringLiteral("Work"));
        auto *folder = find<FolderAutocompleteField>("capturePrompt.folder");
        QCOMPARE(folder->text(), QStringLiteral("Work"));
        QVERIFY(!folder->hasSelectedText());
    }

    // Typed into the title, then into the folder field (with arrow keys
    // after it), and Return pressed in one of them.
    void returnSaves_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("typedTitle");
        QTest::addColumn<QString>("typedFolder");
        QTest::addColumn<QString>("arrows"); // "u" up, "d" down, then more typing
        QTest::addColumn<QString>("savedTitle");
        QTest::addColumn<QString>("savedFolder");
        const QString fallback = QStringLiteral("Firefox 2026-12-06 at 10.15.02");
        // clang-format off
        QTest::newRow("title field, typed title") << "capturePrompt.title" << "  Tax return "
            << "" << "" << "Tax return" << "General";
        QTest::newRow("title field, blank title saves under the default") << "capturePrompt.title"
            << " \t " << "" << "" << fallback << "General";
        // The folder field accepts the highlighted suggestion first.
        QTest::newRow("folder field, typed folder trimmed") << "capturePrompt.folder" << "Lunch"
            << " Rece" << "" << "Lunch" << "Receipts";
        QTest::newRow("folder field, highlight moved down") << "capturePrompt.folder" << ""
            << "wo" << "d" << fallback << "Workshop";
        QTest::newRow("folder field, creation offer fills in the typed name")
            << "capturePrompt.folder" << "" << "Taxes " << "u" << fallback << "Taxes";
        // The creation offer, third of three, is gone after "ORK": two matches.
        QTest::newRow("folder field, highlight out of range saves the typed name")
            << "capturePrompt.folder" << "" << "w" << "uORK" << fallback << "wORK";
        // clang-format on
    }
    void returnSaves()
    {
        QFETCH(QString, field);
        QFETCH(QString, typedTitle);
        QFETCH(QString, typedFolder);
        QFETCH(QString, arrows);
        QFETCH(QString, savedTitle);
        QFETCH(QString, savedFolder);
        QVERIFY(showActive(d.content()));
        QTest::keyClicks(find<QLineEdit>("capturePrompt.title"), typedTitle);
        if (!typedFolder.isEmpty())
            typeFolder(typedFolder);
        auto *folder = find<QLineEdit>("capturePrompt.folder");
        for (const QChar c : arrows) {
            if (c == u'u' || c == u'd')
                QTest::keyClick(folder, c == u'u' ? Qt::Key_Up : Qt::Key_Down);
            else
                QTest::keyClicks(folder, QString(c));
        }

        QTest::keyClick(find<QLineEdit>(field.toLatin1()), Qt::Key_Return);

        QCOMPARE(d.saves, (QList<QPair<QString, QString>> { { savedTitle, savedFolder } }));
        QVERIFY(d.skips.isEmpty());
        QCOMPARE(d.discards, 0);
    }

    void blankFolderDoesNothingAndOnlySpacesAndTabsAreTrimmed()
    {
        QVERIFY(showActive(d.content(1, QStringLiteral(" \t "))));
        auto *save = find<QPushButton>("capturePrompt.save");
        QTest::keyClick(find<QLineEdit>("capturePrompt.title"), Qt::Key_Return);
        QTest::mouseClick(save, Qt::LeftButton);
        QVERIFY(d.saves.isEmpty());
        QVERIFY(!find<QLabel>("capturePrompt.error")->isVisible());
        prompt->model()->setTitle(QStringLiteral("\t Menu \t"));
        prompt->model()->setFolder(QStringLiteral(" Work\n"));
        QTest::mouseClick(save, Qt::LeftButton);
        QCOMPARE(d.saves, (QList<QPair<QString, QString>> { { "Menu", "Work\n" } }));
    }

    void escapeSkipsFromEitherField_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<std::optional<QString>>("passed");
        QTest::newRow("title with text") << "capturePrompt.title"
                                         << " Menu " << std::optional<QString>("Menu");
        QTest::newRow("blank title passes none") << "capturePrompt.title"
                                                 << "   " << std::optional<QString>();
        QTest::newRow("from the folder field") << "capturePrompt.folder"
                                               << "Menu" << std::optional<QString>("Menu");
    }
    void escapeSkipsFromEitherField()
    {
        QFETCH(QString, field);
        QFETCH(QString, typed);
        QFETCH(std::optional<QString>, passed);
        QVERIFY(showActive(d.content()));
        QTest::keyClicks(find<QLineEdit>("capturePrompt.title"), typed);
        auto *target = find<QLineEdit>(field.toLatin1());
        target->setFocus();

        QTest::keyClick(target, Qt::Key_Escape);

        QCOMPARE(d.skips, QList<std::optional<QString>> { passed });
        QVERIFY(d.saves.isEmpty());
    }

    // The folder field's own key is its test's, and is used for a discard below.
    void ctrlBackspaceDiscardsOnceWhereverTheFocusIs_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::newRow("title field") << "capturePrompt.title";
        QTest::newRow("Skip button, through the key monitor") << "capturePrompt.skip";
        QTest::newRow("Save button, through the key monitor") << "capturePrompt.save";
    }
    void ctrlBackspaceDiscardsOnceWhereverTheFocusIs()
    {
        QFETCH(QString, focus);
        QVERIFY(showActive(d.content()));
        auto *target = find<QWidget>(focus.toLatin1());
        target->setFocus(Qt::TabFocusReason);
        QVERIFY(target->hasFocus());

        QTest::keyClick(target, Qt::Key_Backspace, Qt::ControlModifier);

        QCOMPARE(d.discards, 1);
        QVERIFY(d.saves.isEmpty());
        QCOMPARE(find<QLineEdit>("capturePrompt.folder")->text(), QStringLiteral("General"));
    }

    void filedCopyNoticeSaysWhereAndAltDDiscards()
    {
        CapturePromptContent content = d.content();
        ScreenshotRecord filed;
        filed.title = QStringLiteral("Invoice");
        filed.folder = QStringLiteral("Work");
        filed.status = ScreenshotStatus::filed;
        content.filedCopy = filed;
        QVERIFY(showActive(content));
        auto *text = find<QLabel>("capturePrompt.filedCopyText");
        QVERIFY(text->isVisible());
        QCOMPARE(text->text(), QStringLiteral("Already filed in “Work” as “Invoice”."));

        QTest::keyClick(find<QWidget>("capturePrompt.title"), Qt::Key_D, Qt::AltModifier);
        QCOMPARE(d.discards, 1);

        // The next capture has no filed copy: no notice, and Alt+D does nothing.
        prompt->show(d.content());
        QVERIFY(!find<QWidget>("capturePrompt.filedCopy")->isVisible());
        QTest::keyClick(find<QWidget>("capturePrompt.title"), Qt::Key_D, Qt::AltModifier);
        QCOMPARE(d.discards, 1);
    }

    void returnOnAButtonIsTheSaveButtons()
    {
        QVERIFY(showActive(d.content()));
        auto *skip = find<QPushButton>("capturePrompt.skip");
        skip->setFocus(Qt::TabFocusReason);

        QTest::keyClick(skip, Qt::Key_Escape);
        QVERIFY(d.skips.isEmpty());
        QTest::keyClick(skip, Qt::Key_Return);
        QCOMPARE(d.saves.size(), 1);
        QVERIFY(d.skips.isEmpty());
    }

    void suggestionsFollowTypingFocusAndArrows()
    {
        QVERIFY(showActive(d.content()));
        QCOMPARE(rowTexts(), QStringList());

        typeFolder(QStringLiteral("wo"));
        QCOMPARE(rowTexts(), (QStringList { "Work*", "Workshop", "Create folder “wo”" }));
        auto *folder = find<QLineEdit>("capturePrompt.folder");
        QTest::keyClick(folder, Qt::Key_R);
        QCOMPARE(rowTexts(), (QStringList { "Work*", "Workshop", "Create folder “wor”" }));
        find<QLineEdit>("capturePrompt.title")->setFocus(Qt::BacktabFocusReason);
        QCOMPARE(rowTexts(), QStringList());

        // Up and Down wrap around and leave the text alone.
        typeFolder(QString());
        QCOMPARE(rowTexts(), (QStringList { "General*", "Personal", "Receipts", "Work" }));
        QTest::keyClick(folder, Qt::Key_Up);
        QCOMPARE(prompt->model()->folderSuggestionIndex(), 3);
        QTest::keyClick(folder, Qt::Key_Down);
        QCOMPARE(prompt->model()->folderSuggestionIndex(), 0);
        QTest::keyClick(folder, Qt::Key_Down);
        QTest::keyClick(folder, Qt::Key_Down);
        QCOMPARE(rowTexts(), (QStringList { "General", "Personal", "Receipts*", "Work" }));
        QCOMPARE(folder->text(), QString());
    }

    void tabCompletesOnlyWhenItChangesTheText_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("afterFirstTab");
        QTest::addColumn<bool>("firstTabStays");
        QTest::newRow("prefix completes, then moves on") << "rec"
                                                         << "Receipts" << true;
        QTest::newRow("case is corrected, then moves on") << "work"
                                                          << "Work" << true;
        QTest::newRow("exact name moves on") << "Work"
                                             << "Work" << false;
        QTest::newRow("new name moves on") << "Taxes"
                                           << "Taxes" << false;
        QTest::newRow("refused name moves on") << "a/b"
                                               << "a/b" << false;
    }
    void tabCompletesOnlyWhenItChangesTheText()
    {
        QFETCH(QString, typed);
        QFETCH(QString, afterFirstTab);
        QFETCH(bool, firstTabStays);
        QVERIFY(showActive(d.content()));
        typeFolder(typed);
        auto *folder = find<QLineEdit>("capturePrompt.folder");

        QTest::keyClick(folder, Qt::Key_Tab);
        QCOMPARE(folder->text(), afterFirstTab);
        if (firstTabStays) {
            QVERIFY(folder->hasFocus());
            QTest::keyClick(folder, Qt::Key_Tab);
            QCOMPARE(folder->text(), afterFirstTab);
        }
        QTRY_VERIFY(find<QPushButton>("capturePrompt.discard")->hasFocus());
        QVERIFY(d.saves.isEmpty());
    }

    void refusedNamesAreNotOfferedAndSayWhy_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("refused");
        QTest::newRow("slash") << "a/b" << true;
        QTest::newRow("leading dot") << ".hidden" << true;
        QTest::newRow("longer than a file name") << QString(256, u'x') << true;
        QTest::newRow("long multibyte name") << QString(128, u'é') << true;
        QTest::newRow("ordinary new name") << "Taxes" << false;
        QTest::newRow("dot inside") << "v1.2" << false;
        QTest::newRow("blank") << "   " << false;
    }
    void refusedNamesAreNotOfferedAndSayWhy()
    {
        QFETCH(QString, typed);
        QFETCH(bool, refused);
        QVERIFY(showActive(d.content()));
        typeFolder(QString());
        // Typed as one edit: key events carry Latin-1 only.
        find<QLineEdit>("capturePrompt.folder")->insert(typed);
        auto *note = find<QLabel>("capturePrompt.folderNote");

        const bool offered = rowTexts().join(u'|').contains(QStringLiteral("Create folder"));
        QCOMPARE(offered, !refused && !typed.trimmed().isEmpty());
        QCOMPARE(note->isVisible(), refused);
        QCOMPARE(note->text().isEmpty(), !refused);

        // Another name clears the note.
        typeFolder(QStringLiteral("Work"));
        QVERIFY(!note->isVisible());
    }

    void buttonsShowKeyboardFocus()
    {
        QVERIFY(showActive(d.content()));
        for (const char *name :
            { "capturePrompt.discard", "capturePrompt.skip", "capturePrompt.save" }) {
            auto *button = find<QPushButton>(name);
            const QImage unfocused = button->grab().toImage();
            button->setFocus(Qt::TabFocusReason);
            QTRY_VERIFY(button->hasFocus());
            QVERIFY2(button->grab().toImage() != unfocused, name);
        }
    }

    void clickingASuggestionFillsTheFieldWithoutSaving()
    {
        QVERIFY(showActive(d.content()));
        typeFolder(QStringLiteral("p"));
        auto *folder = find<QLineEdit>("capturePrompt.folder");
        QTest::keyClick(folder, Qt::Key_Down);
        QCOMPARE(
            rowTexts(), (QStringList { "Personal", "Receipts*", "Workshop", "Create folder “p”" }));

        auto rows
            = find<QWidget>("capturePrompt.suggestions")->findChildren<FolderSuggestionRow *>();
        QTest::mouseClick(rows.at(2), Qt::LeftButton);

        QCOMPARE(folder->text(), QStringLiteral("Workshop"));
        QCOMPARE(prompt->model()->folderSuggestionIndex(), 0);
        QVERIFY(folder->hasFocus());
        QVERIFY(d.saves.isEmpty());

        // The highlighted row reads as selected to assistive technology.
        QAccessibleInterface *row = QAccessible::queryAccessibleInterface(rows.at(0));
        QCOMPARE(row->role(), QAccessible::Button);
        QVERIFY(row->state().selected);
        QVERIFY(!QAccessible::queryAccessibleInterface(rows.at(1))->state().selected);
    }

    void errorStaysUntilTheNextCapture()
    {
        d.saveError = QStringLiteral("Title can't be empty.");
        QVERIFY(showActive(d.content()));
        auto *title = find<QLineEdit>("capturePrompt.title");
        QTest::keyClicks(title, QStringLiteral("Lunch"));
        QTest::keyClick(title, Qt::Key_Return);

        auto *error = find<QLabel>("capturePrompt.error");
        QVERIFY(error->isVisible());
        QCOMPARE(error->text(), QStringLiteral("Title can't be empty."));
        QCOMPARE(title->text(), QStringLiteral("Lunch"));
        QTest::keyClicks(title, QStringLiteral(" box"));
        QVERIFY(error->isVisible());

        prompt->show(d.content());
        QVERIFY(!error->isVisible());

        // An item that comes with an error shows it at once.
        CapturePromptContent failed = d.content();
        failed.initialError = QStringLiteral("Couldn't save: disk full");
        prompt->show(failed);
        QVERIFY(error->isVisible());
        QCOMPARE(error->text(), QStringLiteral("Couldn't save: disk full"));
    }

    void counterShowsFromTwoCaptures()
    {
        prompt->show(d.content(1));
        auto *counter = find<QLabel>("capturePrompt.queueCounter");
        QVERIFY(!counter->isVisible());

        prompt->setQueueCount(2);
        QVERIFY(counter->isVisible());
        QCOMPARE(counter->text(), QStringLiteral("1 of 2"));
        QCOMPARE(counter->accessibleName(), QStringLiteral("Screenshot 1 of 2"));
    }

    void panelFollowsItsContentWithTheTopEdgeFixed()
    {
        d.saveError = QStringLiteral("Couldn't save: a long description of what went wrong on "
                                     "the disk that wraps over more than one line of the prompt");
        QVERIFY(showActive(d.content()));
        CapturePromptPanel *panel = prompt->panel();
        const QRect before = panel->geometry();
        QCOMPARE(before.height(), panel->view()->fittingHeight());

        QTest::keyClick(find<QLineEdit>("capturePrompt.title"), Qt::Key_Return);
        QTRY_VERIFY(panel->height() > before.height());
        QCOMPARE(panel->geometry().topLeft(), before.topLeft());
        QCOMPARE(panel->height(), panel->view()->fittingHeight());
        const int withError = panel->height();

        typeFolder(QStringLiteral("wo"));
        QTRY_VERIFY(panel->height() > withError);
        QCOMPARE(panel->geometry().topLeft(), before.topLeft());

        // Heights within half a point are left alone.
        const QRect settled = panel->geometry();
        prompt->applyContentHeight(settled.height() + 0.4);
        QCOMPARE(panel->geometry(), settled);
        prompt->applyContentHeight(settled.height() - 40);
        QCOMPARE(panel->geometry(), QRect(settled.topLeft(), QSize(360, settled.height() - 40)));
    }

    void nextCaptureReusesThePanelWithoutMovingOrTakingFocus()
    {
        QVERIFY(showActive(d.content(2)));
        CapturePromptPanel *panel = prompt->panel();
        panel->move(panel->pos() + QPoint(-100, 30)); // the user moved it
        const QPoint position = panel->pos();
        auto *folder = find<QLineEdit>("capturePrompt.folder");
        folder->setFocus(Qt::TabFocusReason);

        CapturePromptContent next = d.content(1, QStringLiteral("Work"));
        next.recordId = 8;
        next.title = QStringLiteral("Second");
        prompt->show(next);
        QCoreApplication::processEvents();

        QCOMPARE(prompt->panel(), panel);
        QCOMPARE(panel->pos(), position);
        QVERIFY(folder->hasFocus());
        QCOMPARE(folder->text(), QStringLiteral("Work"));
        QCOMPARE(find<QLineEdit>("capturePrompt.title")->text(), QStringLiteral("Second"));
        QCOMPARE(prompt->recordId(), std::optional<qint64>(8));

        // The new capture's actions are the ones that run.
        QTest::keyClick(folder, Qt::Key_Backspace, Qt::ControlModifier);
        QCOMPARE(d.discards, 1);
    }

    void closeButtonDecidesNothingAndReopenBringsItBack()
    {
        QVERIFY(showActive(d.content(3)));
        const QPointer<CapturePromptPanel> panel = prompt->panel();
        const QPoint position = panel->pos();

        panel->close();
        QCoreApplication::processEvents();

        QVERIFY(panel);
        QVERIFY(!prompt->isVisible());
        QVERIFY(prompt->hasModel());
        QVERIFY(prompt->panelFrame().has_value());
        QVERIFY(d.saves.isEmpty() && d.skips.isEmpty() && d.discards == 0);

        prompt->reopen();
        QVERIFY(prompt->isVisible());
        QCOMPARE(prompt->panel(), panel.data());
        QCOMPARE(panel->pos(), position);
        QVERIFY(QTest::qWaitForWindowActive(panel));
    }

    void closeTearsDownAndTheNextShowPlacesAfresh()
    {
        prompt->show(d.content());
        const QPointer<CapturePromptPanel> first = prompt->panel();
        const QPoint placed = first->pos();
        first->move(placed + QPoint(-200, 200));

        prompt->close();
        QVERIFY(!prompt->hasModel());
        QVERIFY(!prompt->recordId());
        QVERIFY(!prompt->panelFrame());
        QVERIFY(!prompt->isVisible());
        QTRY_VERIFY(first.isNull());

        prompt->show(d.content());
        QCOMPARE(prompt->panel()->pos(), placed);

        // With the panel gone no key reaches the old capture's actions.
        prompt->close();
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QTest::keyClick(&other, Qt::Key_Backspace, Qt::ControlModifier);
        QCOMPARE(d.discards, 0);
    }

    void previewIsReducedAndOptional()
    {
        QTemporaryDir dir;
        CapturePromptContent content = d.content();
        content.path = writeImage(dir, QSize(1920, 1080), Qt::darkCyan);
        prompt->show(content);
        auto *preview = find<QWidget>("capturePrompt.preview");
        QVERIFY(preview->isVisible());
        QCOMPARE(preview->size(), QSize(320, 180));
        QCOMPARE(preview->accessibleName(), QStringLiteral("Screenshot preview"));
        const int withPreview = prompt->panel()->height();

        prompt->show(d.content()); // a path that cannot be read: no preview, smaller panel
        QVERIFY(!preview->isVisible());
        QTRY_VERIFY(prompt->panel()->height() < withPreview);
    }

    void largePreviewDecodesOffTheGuiThread()
    {
        QTemporaryDir dir;
        CapturePromptContent content = d.content();
        content.path = writeImage(dir, QSize(800, 600), Qt::darkRed);
        CapturePromptController::setSynchronousDecodeLimit(100);
        prompt->show(content);
        const int reserved = prompt->panel()->height();
        auto *preview = find<QWidget>("capturePrompt.preview");
        QVERIFY(preview->isVisible()); // its place is kept while the image loads
        QTRY_VERIFY(preview->grab().toImage().pixelColor(160, 90).red() > 100);
        QCOMPARE(prompt->panel()->height(), reserved);
        CapturePromptController::setSynchronousDecodeLimit(1'000'000);
    }
};

MARLOX_TEST_MAIN(TestCapturePrompt)
#include "tst_captureprompt.moc"

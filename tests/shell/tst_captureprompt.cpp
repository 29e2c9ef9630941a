#include <QAccessible>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "shell/captureprompt.h"
#include "shell/prompttextfields.h"
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

template <typename T> T *find(CapturePromptController &prompt, const char *name)
{
    return prompt.panel()->findChild<T *>(QLatin1String(name));
}

QStringList rowTexts(CapturePromptController &prompt)
{
    QStringList texts;
    auto *box = find<QWidget>(prompt, "capturePrompt.suggestions");
    if (!box->isVisible())
        return texts;
    for (auto *row : box->findChildren<FolderSuggestionRow *>())
        if (row->isVisible())
            texts.append(row->text() + (row->isHighlighted() ? "*" : ""));
    return texts;
}

bool showActive(CapturePromptController &prompt, const CapturePromptContent &content)
{
    prompt.show(content);
    return QTest::qWaitForWindowActive(prompt.panel());
}

// Puts the focus in the folder field and replaces its text by typing.
void typeFolder(CapturePromptController &prompt, const QString &text)
{
    auto *field = find<FolderAutocompleteField>(prompt, "capturePrompt.folder");
    field->setFocus(Qt::TabFocusReason);
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
}
} // namespace

class TestCapturePrompt : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void placement_data();
    void placement();
    void resizeRule_data();
    void resizeRule();

    void showsAFloatingToolPanelWithItsParts();
    void titleIsFocusedAndSelectedAfterAppearing();
    void returnSavesFromEitherField_data();
    void returnSavesFromEitherField();
    void blankFolderDoesNothing();
    void onlySpacesAndTabsAreTrimmed();
    void escapeSkipsFromEitherField_data();
    void escapeSkipsFromEitherField();
    void ctrlBackspaceDiscardsOnceWhereverTheFocusIs_data();
    void ctrlBackspaceDiscardsOnceWhereverTheFocusIs();
    void returnOnAButtonIsTheSaveButtons();
    void suggestionsFollowTypingAndFocus();
    void upAndDownWrapAround();
    void returnAcceptsTheHighlightedSuggestion();
    void outOfRangeHighlightSavesTheTypedFolder();
    void tabCompletesOnlyWhenItChangesTheText_data();
    void tabCompletesOnlyWhenItChangesTheText();
    void refusedNamesAreNotOfferedAndSayWhy_data();
    void refusedNamesAreNotOfferedAndSayWhy();
    void buttonsShowKeyboardFocus_data();
    void buttonsShowKeyboardFocus();
    void clickingASuggestionFillsTheFieldWithoutSaving();
    void errorStaysUntilTheNextCapture();
    void counterShowsFromTwoCaptures();
    void panelFollowsItsContentWithTheTopEdgeFixed();
    void nextCaptureReusesThePanelWithoutMovingOrTakingFocus();
    void closeButtonDecidesNothingAndReopenBringsItBack();
    void closeTearsDownAndTheNextShowPlacesAfresh();
    void previewIsReducedAndOptional();
    void largePreviewDecodesOffTheGuiThread();
};

void TestCapturePrompt::placement_data()
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

void TestCapturePrompt::placement()
{
    QFETCH(QList<Screen>, screens);
    QFETCH(QPoint, pointer);
    QFETCH(QPoint, origin);
    QCOMPARE(CapturePromptGeometry::placement(screens, pointer, QSize(360, 420)), origin);
}

void TestCapturePrompt::resizeRule_data()
{
    QTest::addColumn<qreal>("height");
    QTest::addColumn<bool>("applied");
    QTest::newRow("half a point more stays") << 400.5 << false;
    QTest::newRow("half a point less stays") << 399.5 << false;
    QTest::newRow("just over half a point grows") << 400.51 << true;
    QTest::newRow("shrinks") << 330.0 << true;
    QTest::newRow("zero is ignored") << 0.0 << false;
}

void TestCapturePrompt::resizeRule()
{
    QFETCH(qreal, height);
    QFETCH(bool, applied);
    const QRectF frame(1220, 52, 360, 400);
    const std::optional<QRectF> resized = CapturePromptGeometry::resized(frame, height);
    QCOMPARE(resized.has_value(), applied);
    if (resized)
        QCOMPARE(*resized, QRectF(1220, 52, 360, height));
}

void TestCapturePrompt::showsAFloatingToolPanelWithItsParts()
{
    Decisions d;
    CapturePromptController prompt;
    prompt.show(d.content());
    CapturePromptPanel *panel = prompt.panel();
    QVERIFY(panel->isVisible());
    QCOMPARE(panel->windowTitle(), QStringLiteral("Marlox"));
    QVERIFY(panel->windowFlags().testFlag(Qt::Tool));
    QVERIFY(panel->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(panel->width(), 360);
    QVERIFY(prompt.hasModel());
    QCOMPARE(prompt.recordId(), std::optional<qint64>(7));

    auto *title = find<CommitTextField>(prompt, "capturePrompt.title");
    auto *folder = find<FolderAutocompleteField>(prompt, "capturePrompt.folder");
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
        auto *button = find<QPushButton>(prompt, name);
        QVERIFY2(button, name);
        QCOMPARE(button->accessibleDescription(), hint);
        QVERIFY(button->x() > previousX);
        previousX = button->x();
    }
    QCOMPARE(find<QPushButton>(prompt, "capturePrompt.discard")->shortcut(),
        QKeySequence(Qt::CTRL | Qt::Key_Backspace));
    QVERIFY(find<QPushButton>(prompt, "capturePrompt.save")->isDefault());
    QCOMPARE(find<QLabel>(prompt, "capturePrompt.hint")->text(),
        QStringLiteral("Return save · Esc skip · Ctrl+⌫ discard"));
    QVERIFY(!find<QLabel>(prompt, "capturePrompt.error")->isVisible());
    QVERIFY(!find<QWidget>(prompt, "capturePrompt.preview")->isVisible());
}

void TestCapturePrompt::titleIsFocusedAndSelectedAfterAppearing()
{
    Decisions d;
    CapturePromptController prompt;
    CapturePromptContent content = d.content();
    content.title = QStringLiteral("Boarding pass");
    QVERIFY(showActive(prompt, content));
    auto *title = find<CommitTextField>(prompt, "capturePrompt.title");
    QTRY_VERIFY(title->hasFocus());
    QCOMPARE(title->selectedText(), QStringLiteral("Boarding pass"));

    // A title replaced from outside is selected whole; a folder is not.
    prompt.model()->setTitle(QStringLiteral("Gate change"));
    QCOMPARE(title->selectedText(), QStringLiteral("Gate change"));
    prompt.model()->setFolder(QStringLiteral("Work"));
    auto *folder = find<FolderAutocompleteField>(prompt, "capturePrompt.folder");
    QCOMPARE(folder->text(), QStringLiteral("Work"));
    QVERIFY(!folder->hasSelectedText());
}

void TestCapturePrompt::returnSavesFromEitherField_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typedTitle");
    QTest::addColumn<QString>("typedFolder");
    QTest::addColumn<QString>("savedTitle");
    QTest::addColumn<QString>("savedFolder");
    const QString fallback = QStringLiteral("Firefox 2026-12-06 at 10.15.02");
    QTest::newRow("title field, typed title") << "capturePrompt.title"
                                              << "  Tax return "
                                              << ""
                                              << "Tax return"
                                              << "General";
    QTest::newRow("title field, blank title saves under the default")
        << "capturePrompt.title"
        << " \t "
        << "" << fallback << "General";
    // The folder field accepts the highlighted suggestion first: "Receipts".
    QTest::newRow("folder field, typed folder trimmed") << "capturePrompt.folder"
                                                        << "Lunch"
                                                        << " Rece"
                                                        << "Lunch"
                                                        << "Receipts";
}

void TestCapturePrompt::returnSavesFromEitherField()
{
    QFETCH(QString, field);
    QFETCH(QString, typedTitle);
    QFETCH(QString, typedFolder);
    QFETCH(QString, savedTitle);
    QFETCH(QString, savedFolder);

    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    auto *title = find<CommitTextField>(prompt, "capturePrompt.title");
    QTRY_VERIFY(title->hasFocus());
    QTest::keyClicks(title, typedTitle);
    if (!typedFolder.isEmpty())
        typeFolder(prompt, typedFolder);

    QTest::keyClick(find<QLineEdit>(prompt, field.toLatin1()), Qt::Key_Return);

    QCOMPARE(d.saves.size(), 1);
    QCOMPARE(d.saves.first().first, savedTitle);
    QCOMPARE(d.saves.first().second, savedFolder);
    QVERIFY(d.skips.isEmpty());
    QCOMPARE(d.discards, 0);
}

void TestCapturePrompt::blankFolderDoesNothing()
{
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content(1, QStringLiteral(" \t "))));
    QTest::keyClick(find<QLineEdit>(prompt, "capturePrompt.title"), Qt::Key_Return);
    QTest::mouseClick(find<QPushButton>(prompt, "capturePrompt.save"), Qt::LeftButton);
    QCOMPARE(d.saves.size(), 0);
    QVERIFY(!find<QLabel>(prompt, "capturePrompt.error")->isVisible());
}

void TestCapturePrompt::onlySpacesAndTabsAreTrimmed()
{
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    prompt.model()->setTitle(QStringLiteral("\t Menu \t"));
    prompt.model()->setFolder(QStringLiteral(" Work\n"));
    QTest::mouseClick(find<QPushButton>(prompt, "capturePrompt.save"), Qt::LeftButton);
    QCOMPARE(d.saves.size(), 1);
    QCOMPARE(d.saves.first().first, QStringLiteral("Menu"));
    QCOMPARE(d.saves.first().second, QStringLiteral("Work\n"));
}

void TestCapturePrompt::escapeSkipsFromEitherField_data()
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

void TestCapturePrompt::escapeSkipsFromEitherField()
{
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(std::optional<QString>, passed);

    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    auto *title = find<CommitTextField>(prompt, "capturePrompt.title");
    QTRY_VERIFY(title->hasFocus());
    QTest::keyClicks(title, typed);
    auto *target = find<QLineEdit>(prompt, field.toLatin1());
    target->setFocus();

    QTest::keyClick(target, Qt::Key_Escape);

    QCOMPARE(d.skips, QList<std::optional<QString>> { passed });
    QVERIFY(d.saves.isEmpty());
}

void TestCapturePrompt::ctrlBackspaceDiscardsOnceWhereverTheFocusIs_data()
{
    QTest::addColumn<QString>("focus");
    QTest::newRow("title field") << "capturePrompt.title";
    QTest::newRow("folder field") << "capturePrompt.folder";
    QTest::newRow("Skip button, through the key monitor") << "capturePrompt.skip";
    QTest::newRow("Save button, through the key monitor") << "capturePrompt.save";
}

void TestCapturePrompt::ctrlBackspaceDiscardsOnceWhereverTheFocusIs()
{
    QFETCH(QString, focus);
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    QTRY_VERIFY(find<QLineEdit>(prompt, "capturePrompt.title")->hasFocus());
    auto *target = find<QWidget>(prompt, focus.toLatin1());
    target->setFocus(Qt::TabFocusReason);
    QVERIFY(target->hasFocus());

    QTest::keyClick(target, Qt::Key_Backspace, Qt::ControlModifier);

    QCOMPARE(d.discards, 1);
    QVERIFY(d.saves.isEmpty());
    QCOMPARE(find<QLineEdit>(prompt, "capturePrompt.folder")->text(), QStringLiteral("General"));
}

void TestCapturePrompt::returnOnAButtonIsTheSaveButtons()
{
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    auto *skip = find<QPushButton>(prompt, "capturePrompt.skip");
    skip->setFocus(Qt::TabFocusReason);

    QTest::keyClick(skip, Qt::Key_Escape);
    QVERIFY(d.skips.isEmpty());
    QTest::keyClick(skip, Qt::Key_Return);
    QCOMPARE(d.saves.size(), 1);
    QVERIFY(d.skips.isEmpty());
}

void TestCapturePrompt::suggestionsFollowTypingAndFocus()
{
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    QTRY_VERIFY(find<QLineEdit>(prompt, "capturePrompt.title")->hasFocus());
    QCOMPARE(rowTexts(prompt), QStringList());

    typeFolder(prompt, QStringLiteral("wo"));
    QCOMPARE(rowTexts(prompt), (QStringList { "Work*", "Workshop", "Create folder “wo”" }));
    QTest::keyClick(find<QLineEdit>(prompt, "capturePrompt.folder"), Qt::Key_R);
    QCOMPARE(rowTexts(prompt), (QStringList { "Work*", "Workshop", "Create folder “wor”" }));

    find<QLineEdit>(prompt, "capturePrompt.title")->setFocus(Qt::BacktabFocusReason);
    QCOMPARE(rowTexts(prompt), QStringList());
}

void TestCapturePrompt::upAndDownWrapAround()
{
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    typeFolder(prompt, QString());
    auto *folder = find<QLineEdit>(prompt, "capturePrompt.folder");
    QCOMPARE(rowTexts(prompt), (QStringList { "General*", "Personal", "Receipts", "Work" }));

    QTest::keyClick(folder, Qt::Key_Up);
    QCOMPARE(prompt.model()->folderSuggestionIndex(), 3);
    QTest::keyClick(folder, Qt::Key_Down);
    QCOMPARE(prompt.model()->folderSuggestionIndex(), 0);
    QTest::keyClick(folder, Qt::Key_Down);
    QTest::keyClick(folder, Qt::Key_Down);
    QCOMPARE(rowTexts(prompt), (QStringList { "General", "Personal", "Receipts*", "Work" }));
    QCOMPARE(folder->text(), QString());
}

void TestCapturePrompt::returnAcceptsTheHighlightedSuggestion()
{
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    typeFolder(prompt, QStringLiteral("wo"));
    auto *folder = find<QLineEdit>(prompt, "capturePrompt.folder");
    QTest::keyClick(folder, Qt::Key_Down);
    QTest::keyClick(folder, Qt::Key_Return);
    QCOMPARE(d.saves.size(), 1);
    QCOMPARE(d.saves.first().second, QStringLiteral("Workshop"));

    // The creation offer fills in the typed name as is.
    d.saves.clear();
    typeFolder(prompt, QStringLiteral("Taxes "));
    QTest::keyClick(folder, Qt::Key_Up);
    QTest::keyClick(folder, Qt::Key_Return);
    QCOMPARE(d.saves.size(), 1);
    QCOMPARE(d.saves.first().second, QStringLiteral("Taxes"));
}

void TestCapturePrompt::outOfRangeHighlightSavesTheTypedFolder()
{
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    typeFolder(prompt, QStringLiteral("w"));
    auto *folder = find<QLineEdit>(prompt, "capturePrompt.folder");
    QTest::keyClick(folder, Qt::Key_Up); // the creation offer, third of three
    QCOMPARE(prompt.model()->folderSuggestionIndex(), 2);
    QTest::keyClicks(folder, QStringLiteral("ORK")); // "wORK": two matches, no offer
    QCOMPARE(rowTexts(prompt), (QStringList { "Work", "Workshop" }));

    QTest::keyClick(folder, Qt::Key_Return);

    QCOMPARE(d.saves.size(), 1);
    QCOMPARE(d.saves.first().second, QStringLiteral("wORK"));
}

void TestCapturePrompt::tabCompletesOnlyWhenItChangesTheText_data()
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

void TestCapturePrompt::tabCompletesOnlyWhenItChangesTheText()
{
    QFETCH(QString, typed);
    QFETCH(QString, afterFirstTab);
    QFETCH(bool, firstTabStays);
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    typeFolder(prompt, typed);
    auto *folder = find<QLineEdit>(prompt, "capturePrompt.folder");
    auto *discard = find<QPushButton>(prompt, "capturePrompt.discard");

    QTest::keyClick(folder, Qt::Key_Tab);
    QCOMPARE(folder->text(), afterFirstTab);
    if (firstTabStays) {
        QVERIFY(folder->hasFocus());
        QTest::keyClick(folder, Qt::Key_Tab);
        QCOMPARE(folder->text(), afterFirstTab);
    }
    QTRY_VERIFY(discard->hasFocus());
    QVERIFY(d.saves.isEmpty());
}

void TestCapturePrompt::refusedNamesAreNotOfferedAndSayWhy_data()
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

void TestCapturePrompt::refusedNamesAreNotOfferedAndSayWhy()
{
    QFETCH(QString, typed);
    QFETCH(bool, refused);
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    typeFolder(prompt, QString());
    // Typed as one edit: key events carry Latin-1 only.
    find<QLineEdit>(prompt, "capturePrompt.folder")->insert(typed);
    auto *note = find<QLabel>(prompt, "capturePrompt.folderNote");

    const bool offered = rowTexts(prompt).join(u'|').contains(QStringLiteral("Create folder"));
    QCOMPARE(offered, !refused && !typed.trimmed().isEmpty());
    QCOMPARE(note->isVisible(), refused);
    QCOMPARE(note->text().isEmpty(), !refused);

    // Another name clears the note.
    typeFolder(prompt, QStringLiteral("Work"));
    QVERIFY(!note->isVisible());
}

void TestCapturePrompt::buttonsShowKeyboardFocus_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("discard") << "capturePrompt.discard";
    QTest::newRow("skip") << "capturePrompt.skip";
    QTest::newRow("save") << "capturePrompt.save";
}

void TestCapturePrompt::buttonsShowKeyboardFocus()
{
    QFETCH(QString, name);
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    auto *button = find<QPushButton>(prompt, name.toLatin1().constData());
    const QImage unfocused = button->grab().toImage();

    button->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(button->hasFocus());
    QVERIFY(button->grab().toImage() != unfocused);
}

void TestCapturePrompt::clickingASuggestionFillsTheFieldWithoutSaving()
{
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    typeFolder(prompt, QStringLiteral("p"));
    auto *folder = find<QLineEdit>(prompt, "capturePrompt.folder");
    QTest::keyClick(folder, Qt::Key_Down);
    QCOMPARE(rowTexts(prompt),
        (QStringList { "Personal", "Receipts*", "Workshop", "Create folder “p”" }));

    auto rows
        = find<QWidget>(prompt, "capturePrompt.suggestions")->findChildren<FolderSuggestionRow *>();
    QTest::mouseClick(rows.at(2), Qt::LeftButton);

    QCOMPARE(folder->text(), QStringLiteral("Workshop"));
    QCOMPARE(prompt.model()->folderSuggestionIndex(), 0);
    QVERIFY(folder->hasFocus());
    QVERIFY(d.saves.isEmpty());

    // The highlighted row reads as selected to assistive technology.
    QAccessibleInterface *row = QAccessible::queryAccessibleInterface(rows.at(0));
    QCOMPARE(row->role(), QAccessible::Button);
    QVERIFY(row->state().selected);
    QVERIFY(!QAccessible::queryAccessibleInterface(rows.at(1))->state().selected);
}

void TestCapturePrompt::errorStaysUntilTheNextCapture()
{
    Decisions d;
    d.saveError = QStringLiteral("Title can't be empty.");
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    auto *title = find<QLineEdit>(prompt, "capturePrompt.title");
    QTest::keyClicks(title, QStringLiteral("Lunch"));
    QTest::keyClick(title, Qt::Key_Return);

    auto *error = find<QLabel>(prompt, "capturePrompt.error");
    QVERIFY(error->isVisible());
    QCOMPARE(error->text(), QStringLiteral("Title can't be empty."));
    QCOMPARE(title->text(), QStringLiteral("Lunch"));
    QTest::keyClicks(title, QStringLiteral(" box"));
    QVERIFY(error->isVisible());

    prompt.show(d.content());
    QVERIFY(!error->isVisible());

    // An item that comes with an error shows it at once.
    CapturePromptContent failed = d.content();
    failed.initialError = QStringLiteral("Couldn't save: disk full");
    prompt.show(failed);
    QVERIFY(error->isVisible());
    QCOMPARE(error->text(), QStringLiteral("Couldn't save: disk full"));
}

void TestCapturePrompt::counterShowsFromTwoCaptures()
{
    Decisions d;
    CapturePromptController prompt;
    prompt.show(d.content(1));
    auto *counter = find<QLabel>(prompt, "capturePrompt.queueCounter");
    QVERIFY(!counter->isVisible());

    prompt.setQueueCount(2);
    QVERIFY(counter->isVisible());
    QCOMPARE(counter->text(), QStringLiteral("1 of 2"));
    QCOMPARE(counter->accessibleName(), QStringLiteral("Screenshot 1 of 2"));

    prompt.show(d.content(12));
    QCOMPARE(counter->text(), QStringLiteral("1 of 12"));
    QCOMPARE(counter->accessibleName(), QStringLiteral("Screenshot 1 of 12"));
}

void TestCapturePrompt::panelFollowsItsContentWithTheTopEdgeFixed()
{
    Decisions d;
    d.saveError = QStringLiteral("Couldn't save: a long description of what went wrong on the "
                                 "disk that wraps over more than one line of the prompt");
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content()));
    CapturePromptPanel *panel = prompt.panel();
    const QRect before = panel->geometry();
    QCOMPARE(before.height(), panel->view()->fittingHeight());

    QTest::keyClick(find<QLineEdit>(prompt, "capturePrompt.title"), Qt::Key_Return);
    QTRY_VERIFY(panel->height() > before.height());
    QCOMPARE(panel->geometry().topLeft(), before.topLeft());
    QCOMPARE(panel->height(), panel->view()->fittingHeight());
    const int withError = panel->height();

    typeFolder(prompt, QStringLiteral("wo"));
    QTRY_VERIFY(panel->height() > withError);
    QCOMPARE(panel->geometry().topLeft(), before.topLeft());

    // Heights within half a point are left alone.
    const QRect settled = panel->geometry();
    prompt.applyContentHeight(settled.height() + 0.4);
    QCOMPARE(panel->geometry(), settled);
    prompt.applyContentHeight(settled.height() - 40);
    QCOMPARE(panel->geometry(), QRect(settled.topLeft(), QSize(360, settled.height() - 40)));
}

void TestCapturePrompt::nextCaptureReusesThePanelWithoutMovingOrTakingFocus()
{
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content(2)));
    CapturePromptPanel *panel = prompt.panel();
    panel->move(panel->pos() + QPoint(-100, 30)); // the user moved it
    const QPoint position = panel->pos();
    auto *folder = find<QLineEdit>(prompt, "capturePrompt.folder");
    folder->setFocus(Qt::TabFocusReason);

    CapturePromptContent next = d.content(1, QStringLiteral("Work"));
    next.recordId = 8;
    next.title = QStringLiteral("Second");
    prompt.show(next);
    QCoreApplication::processEvents();

    QCOMPARE(prompt.panel(), panel);
    QCOMPARE(panel->pos(), position);
    QVERIFY(folder->hasFocus());
    QCOMPARE(folder->text(), QStringLiteral("Work"));
    QCOMPARE(find<QLineEdit>(prompt, "capturePrompt.title")->text(), QStringLiteral("Second"));
    QCOMPARE(prompt.recordId(), std::optional<qint64>(8));

    // The new capture's actions are the ones that run.
    QTest::keyClick(folder, Qt::Key_Backspace, Qt::ControlModifier);
    QCOMPARE(d.discards, 1);
}

void TestCapturePrompt::closeButtonDecidesNothingAndReopenBringsItBack()
{
    Decisions d;
    CapturePromptController prompt;
    QVERIFY(showActive(prompt, d.content(3)));
    const QPointer<CapturePromptPanel> panel = prompt.panel();
    const QPoint position = panel->pos();

    panel->close();
    QCoreApplication::processEvents();

    QVERIFY(panel);
    QVERIFY(!prompt.isVisible());
    QVERIFY(prompt.hasModel());
    QVERIFY(prompt.panelFrame().has_value());
    QVERIFY(d.saves.isEmpty() && d.skips.isEmpty() && d.discards == 0);

    prompt.reopen();
    QVERIFY(prompt.isVisible());
    QCOMPARE(prompt.panel(), panel.data());
    QCOMPARE(panel->pos(), position);
    QVERIFY(QTest::qWaitForWindowActive(panel));
}

void TestCapturePrompt::closeTearsDownAndTheNextShowPlacesAfresh()
{
    Decisions d;
    CapturePromptController prompt;
    prompt.show(d.content());
    const QPointer<CapturePromptPanel> first = prompt.panel();
    const QPoint placed = first->pos();
    first->move(placed + QPoint(-200, 200));

    prompt.close();
    QVERIFY(!prompt.hasModel());
    QVERIFY(!prompt.recordId());
    QVERIFY(!prompt.panelFrame());
    QVERIFY(!prompt.isVisible());
    QTRY_VERIFY(first.isNull());

    prompt.show(d.content());
    QCOMPARE(prompt.panel()->pos(), placed);

    // With the panel gone no key reaches the old capture's actions.
    prompt.close();
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QTest::keyClick(&other, Qt::Key_Backspace, Qt::ControlModifier);
    QCOMPARE(d.discards, 0);
}

void TestCapturePrompt::previewIsReducedAndOptional()
{
    QTemporaryDir dir;
    QImage image(1920, 1080, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    const QString path = dir.filePath(QStringLiteral("shot.png"));
    QVERIFY(image.save(path));

    Decisions d;
    CapturePromptController prompt;
    CapturePromptContent content = d.content();
    content.path = path;
    prompt.show(content);
    auto *preview = find<QWidget>(prompt, "capturePrompt.preview");
    QVERIFY(preview->isVisible());
    QCOMPARE(preview->size(), QSize(320, 180));
    QCOMPARE(preview->accessibleName(), QStringLiteral("Screenshot preview"));
    const int withPreview = prompt.panel()->height();

    prompt.show(d.content()); // a path that cannot be read: no preview, smaller panel
    QVERIFY(!preview->isVisible());
    QTRY_VERIFY(prompt.panel()->height() < withPreview);
}

void TestCapturePrompt::largePreviewDecodesOffTheGuiThread()
{
    QTemporaryDir dir;
    QImage image(800, 600, QImage::Format_RGB32);
    image.fill(Qt::darkRed);
    const QString path = dir.filePath(QStringLiteral("big.png"));
    QVERIFY(image.save(path));

    CapturePromptController::setSynchronousDecodeLimit(100);
    Decisions d;
    CapturePromptController prompt;
    CapturePromptContent content = d.content();
    content.path = path;
    prompt.show(content);
    const int reserved = prompt.panel()->height();
    auto *preview = find<QWidget>(prompt, "capturePrompt.preview");
    QVERIFY(preview->isVisible()); // its place is kept while the image loads
    QTRY_VERIFY(preview->grab().toImage().pixelColor(160, 90).red() > 100);
    QCOMPARE(prompt.panel()->height(), reserved);
    CapturePromptController::setSynchronousDecodeLimit(1'000'000);
}

MARLOX_TEST_MAIN(TestCapturePrompt)
#include "tst_captureprompt.moc"

#include <QLineEdit>
#include <QShortcut>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include "shell/prompttextfields.h"
#include "support/testmain.h"

using namespace marlox;

namespace {
// A window with the field under test followed by a plain field to move to,
// and window shortcuts for the same keys that must never fire from the field.
template <typename Field> struct Window
{
    QWidget window;
    Field *field = new Field(&window);
    QLineEdit *next = new QLineEdit(&window);
    QStringList log;

    Window()
    {
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(field);
        layout->addWidget(next);
        for (const QKeySequence &keys : { QKeySequence(Qt::CTRL | Qt::Key_Backspace),
                 QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Escape) }) {
            auto *shortcut = new QShortcut(keys, &window);
            QObject::connect(shortcut, &QShortcut::activated, &window,
                [this, keys] { log.append(QStringLiteral("shortcut ") + keys.toString()); });
        }
    }
    bool showActive()
    {
        window.show();
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window))
            return false;
        field->setFocus();
        return field->hasFocus();
    }
};
} // namespace

class TestPromptTextFields : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void commitFieldKeys_data();
    void commitFieldKeys();
    void commitFieldBindsEveryKeystroke();
    void commitFieldSelectsAllWhenReplacedFromOutside();
    void commitFieldSelectsAllOneTurnAfterAppearing();
    void actionsMayBeReplacedWhileOneRuns();
    void folderFieldKeys_data();
    void folderFieldKeys();
    void folderFieldTabIsUsedOnlyWhenTheOwnerSaysSo();
    void folderFieldReportsFocusAndKeepsSelectionWhenReplaced();
};

void TestPromptTextFields::commitFieldKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("textAfter");
    QTest::newRow("Return commits") << int(Qt::Key_Return) << 0 << "commit"
                                    << "Receipt";
    QTest::newRow("keypad Enter commits")
        << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << "commit"
        << "Receipt";
    QTest::newRow("Escape cancels") << int(Qt::Key_Escape) << 0 << "cancel"
                                    << "Receipt";
    QTest::newRow("Ctrl+Backspace discards instead of deleting")
        << int(Qt::Key_Backspace) << int(Qt::ControlModifier) << "discard"
        << "Receipt";
    QTest::newRow("Backspace edits") << int(Qt::Key_Backspace) << 0 << ""
                                     << "Receip";
}

void TestPromptTextFields::commitFieldKeys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, action);
    QFETCH(QString, textAfter);

    Window<CommitTextField> w;
    QStringList actions;
    w.field->setActions({
        .textEdited = {},
        .onCommit = [&] { actions.append(QStringLiteral("commit")); },
        .onCancel = [&] { actions.append(QStringLiteral("cancel")); },
        .onDiscard = [&] { actions.append(QStringLiteral("discard")); },
    });
    w.field->setText(QStringLiteral("Receipt"));
    QVERIFY(w.showActive());

    QTest::keyClick(w.field, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

    QCOMPARE(actions, action.isEmpty() ? QStringList() : QStringList { action });
    QCOMPARE(w.field->text(), textAfter);
    QCOMPARE(w.log, QStringList());
}

void TestPromptTextFields::commitFieldBindsEveryKeystroke()
{
    Window<CommitTextField> w;
    QStringList bound;
    CommitTextField::Actions actions;
    actions.textEdited = [&](const QString &text) { bound.append(text); };
    w.field->setActions(actions);
    QVERIFY(w.showActive());

    QTest::keyClicks(w.field, QStringLiteral("Tax"));
    QTest::keyClick(w.field, Qt::Key_Backspace);

    QCOMPARE(bound, (QStringList { "T", "Ta", "Tax", "Ta" }));
}

void TestPromptTextFields::commitFieldSelectsAllWhenReplacedFromOutside()
{
    CommitTextField field;
    field.setText(QStringLiteral("Old"));
    field.setCursorPosition(1);

    field.setBoundText(QStringLiteral("Flight booking"));
    QCOMPARE(field.text(), QStringLiteral("Flight booking"));
    QCOMPARE(field.selectedText(), QStringLiteral("Flight booking"));

    // The same text coming back (the echo of the user's own typing) must not
    // select what the user is typing.
    field.setSelection(0, 0);
    field.setCursorPosition(3);
    field.setBoundText(QStringLiteral("Flight booking"));
    QVERIFY(!field.hasSelectedText());
    QCOMPARE(field.cursorPosition(), 3);
}

void TestPromptTextFields::commitFieldSelectsAllOneTurnAfterAppearing()
{
    Window<CommitTextField> w;
    w.field->setText(QStringLiteral("Draft"));
    w.field->setSelectAllOnAppear(true);
    w.next->setFocus();
    w.window.show();
    w.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w.window));

    QTRY_VERIFY(w.field->hasFocus());
    QCOMPARE(w.field->selectedText(), QStringLiteral("Draft"));

    // Only on the first appearance: showing the window again leaves the user's focus alone.
    w.next->setFocus();
    w.window.hide();
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    QCoreApplication::processEvents();
    QVERIFY(!w.field->hasFocus());
}

void TestPromptTextFields::actionsMayBeReplacedWhileOneRuns()
{
    Window<CommitTextField> w;
    int second = 0;
    QString seen;
    CommitTextField::Actions first;
    first.onCommit = [&, marker = QStringLiteral("first")] {
        CommitTextField::Actions replacement;
        replacement.onCommit = [&] { ++second; };
        w.field->setActions(replacement);
        seen = marker; // the running action's captures must still be alive
    };
    w.field->setActions(first);
    QVERIFY(w.showActive());

    QTest::keyClick(w.field, Qt::Key_Return);
    QCOMPARE(seen, QStringLiteral("first"));
    QTest::keyClick(w.field, Qt::Key_Return);
    QCOMPARE(second, 1);
}

void TestPromptTextFields::folderFieldKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("action");
    QTest::newRow("Return") << int(Qt::Key_Return) << 0 << "return";
    QTest::newRow("Up moves the highlight back") << int(Qt::Key_Up) << 0 << "move -1";
    QTest::newRow("Down moves the highlight on") << int(Qt::Key_Down) << 0 << "move 1";
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 0 << "cancel";
    QTest::newRow("Ctrl+Backspace")
        << int(Qt::Key_Backspace) << int(Qt::ControlModifier) << "discard";
}

void TestPromptTextFields::folderFieldKeys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, action);

    Window<FolderAutocompleteField> w;
    QStringList actions;
    FolderAutocompleteField::Actions handlers;
    handlers.onReturn = [&] { actions.append(QStringLiteral("return")); };
    handlers.onMoveSelection
        = [&](int delta) { actions.append(QStringLiteral("move %1").arg(delta)); };
    handlers.onCancel = [&] { actions.append(QStringLiteral("cancel")); };
    handlers.onDiscard = [&] { actions.append(QStringLiteral("discard")); };
    w.field->setActions(handlers);
    w.field->setText(QStringLiteral("Work"));
    QVERIFY(w.showActive());

    QTest::keyClick(w.field, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

    QCOMPARE(actions, QStringList { action });
    QCOMPARE(w.field->text(), QStringLiteral("Work"));
    QVERIFY(w.field->hasFocus());
    QCOMPARE(w.log, QStringList());
}

void TestPromptTextFields::folderFieldTabIsUsedOnlyWhenTheOwnerSaysSo()
{
    Window<FolderAutocompleteField> w;
    bool use = true;
    int asked = 0;
    FolderAutocompleteField::Actions actions;
    actions.onTab = [&] {
        ++asked;
        return use;
    };
    w.field->setActions(actions);
    QVERIFY(w.showActive());

    QTest::keyClick(w.field, Qt::Key_Tab);
    QCOMPARE(asked, 1);
    QVERIFY(w.field->hasFocus());

    use = false;
    QTest::keyClick(w.field, Qt::Key_Tab);
    QCOMPARE(asked, 2);
    QTRY_VERIFY(w.next->hasFocus());
}

void TestPromptTextFields::folderFieldReportsFocusAndKeepsSelectionWhenReplaced()
{
    Window<FolderAutocompleteField> w;
    QList<bool> focus;
    QStringList bound;
    FolderAutocompleteField::Actions actions;
    actions.textEdited = [&](const QString &text) { bound.append(text); };
    actions.onFocusChange = [&](bool focused) { focus.append(focused); };
    w.field->setActions(actions);
    QVERIFY(w.showActive());
    QCOMPARE(focus, QList<bool> { true });

    QTest::keyClicks(w.field, QStringLiteral("Wo"));
    QCOMPARE(bound, (QStringList { "W", "Wo" }));

    w.field->setBoundText(QStringLiteral("Workshop"));
    QCOMPARE(w.field->text(), QStringLiteral("Workshop"));
    QVERIFY(!w.field->hasSelectedText());

    w.next->setFocus();
    QCOMPARE(focus, (QList<bool> { true, false }));
}

MARLOX_TEST_MAIN(TestPromptTextFields)
#include "tst_prompttextfields.moc"

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
    // The keys each field handles itself: the action it runs, the text it
    // leaves, and no window shortcut for the same keys firing.
    void keys_data()
    {
        QTest::addColumn<bool>("folderField");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("textAfter");
        const int ctrl = int(Qt::ControlModifier);
        // clang-format off
        QTest::newRow("title: Return commits") << false << int(Qt::Key_Return) << 0 << "commit"
            << "Receipt";
        QTest::newRow("title: keypad Enter commits") << false << int(Qt::Key_Enter)
            << int(Qt::KeypadModifier) << "commit" << "Receipt";
        QTest::newRow("title: Escape cancels") << false << int(Qt::Key_Escape) << 0 << "cancel"
            << "Receipt";
        QTest::newRow("title: Ctrl+Backspace discards instead of deleting") << false
            << int(Qt::Key_Backspace) << ctrl << "discard" << "Receipt";
        QTest::newRow("title: Backspace edits") << false << int(Qt::Key_Backspace) << 0 << ""
            << "Receip";
        QTest::newRow("folder: Return") << true << int(Qt::Key_Return) << 0 << "return"
            << "Receipt";
        QTest::newRow("folder: Up moves the highlight back") << true << int(Qt::Key_Up) << 0
            << "move -1" << "Receipt";
        QTest::newRow("folder: Down moves the highlight on") << true << int(Qt::Key_Down) << 0
            << "move 1" << "Receipt";
        QTest::newRow("folder: Escape") << true << int(Qt::Key_Escape) << 0 << "cancel"
            << "Receipt";
        QTest::newRow("folder: Ctrl+Backspace") << true << int(Qt::Key_Backspace) << ctrl
            << "discard" << "Receipt";
        // clang-format on
    }
    void keys()
    {
        QFETCH(bool, folderField);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, action);
        QFETCH(QString, textAfter);
        QStringList actions;
        const auto noting = [&actions](const char *name) {
            return [&actions, name] { actions.append(QString::fromLatin1(name)); };
        };
        const auto press = [&](auto &w) {
            w.field->setText(QStringLiteral("Receipt"));
            QVERIFY(w.showActive());
            QTest::keyClick(w.field, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            QCOMPARE(actions, action.isEmpty() ? QStringList() : QStringList { action });
            QCOMPARE(w.field->text(), textAfter);
            QVERIFY(w.field->hasFocus());
            QCOMPARE(w.log, QStringList());
        };
        if (folderField) {
            Window<FolderAutocompleteField> w;
            FolderAutocompleteField::Actions handlers;
            handlers.onReturn = noting("return");
            handlers.onMoveSelection
                = [&](int delta) { actions.append(QStringLiteral("move %1").arg(delta)); };
            handlers.onCancel = noting("cancel");
            handlers.onDiscard = noting("discard");
            w.field->setActions(handlers);
            press(w);
        } else {
            Window<CommitTextField> w;
            w.field->setActions({ .textEdited = {},
                .onCommit = noting("commit"),
                .onCancel = noting("cancel"),
                .onDiscard = noting("discard") });
            press(w);
        }
    }

    void commitFieldSelectsAllOneTurnAfterAppearing()
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

    void actionsMayBeReplacedWhileOneRuns()
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
};

MARLOX_TEST_MAIN(TestPromptTextFields)
#include "tst_prompttextfields.moc"

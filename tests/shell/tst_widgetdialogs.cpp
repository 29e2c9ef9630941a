#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include "shell/widgetdialogs.h"
#include "support/testmain.h"

using namespace marlox;

class TestWidgetDialogs : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void alertTextIsDrawnAsWritten_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("informative");
        QTest::addColumn<QStringList>("buttons");

        QTest::newRow("ampersand in a button")
            << "Delete “Old”?"
            << "This folder isn't empty. Its contents will be moved to \"General\" first."
            << QStringList { "Move Contents to General & Delete", "Cancel" };
        QTest::newRow("path in the text")
            << "Can't use that folder"
            << "Your library can't be the same folder as your screenshot folder. Pick or create a "
               "folder inside it, or somewhere else like ~/Pictures/Marlox/Screenshots-from-work."
            << QStringList {};
        QTest::newRow("markup in a folder name") << "Delete “<b>Bold</b> & co”?"
                                                 << "" << QStringList { "&Keep", "Cancel" };
    }

    void alertTextIsDrawnAsWritten()
    {
        QFETCH(QString, message);
        QFETCH(QString, informative);
        QFETCH(QStringList, buttons);
        Dialogs::Alert alert;
        alert.message = message;
        alert.informativeText = informative;
        alert.buttons = buttons;
        const std::unique_ptr<QMessageBox> box = WidgetDialogs::makeAlertBox(alert);
        box->show();
        QVERIFY(QTest::qWaitForWindowExposed(box.get()));

        // Buttons: no mnemonic eats an "&", and the order is kept.
        QStringList shown;
        for (QAbstractButton *button : box->buttons()) {
            QVERIFY(button->shortcut().isEmpty());
            shown.append(button->text().replace(QStringLiteral("&&"), QStringLiteral("&")));
        }
        const QStringList written = buttons.isEmpty() ? QStringList { "OK" } : buttons;
        for (const QString &title : written)
            QVERIFY2(shown.contains(title), qPrintable(title));

        // Labels: plain text, and every word fits on a line of its own.
        static const QRegularExpression blanks(QStringLiteral("\\s+"));
        QStringList texts;
        for (const QLabel *label : box->findChildren<QLabel *>()) {
            if (label->text().isEmpty() || !label->isVisible())
                continue;
            texts.append(label->text());
            QCOMPARE(label->textFormat(), Qt::PlainText);
            const int room = label->contentsRect().width();
            for (const QString &word : label->text().split(blanks, Qt::SkipEmptyParts))
                QVERIFY2(label->fontMetrics().horizontalAdvance(word) <= room, qPrintable(word));
        }
        QVERIFY(texts.contains(message));
        if (!informative.isEmpty())
            QVERIFY(texts.contains(informative));
    }
};

MARLOX_TEST_MAIN(TestWidgetDialogs)
#include "tst_widgetdialogs.moc"

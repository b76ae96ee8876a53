// The scan dialog on its own.
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "Frm_Wo.h"
#include "fakes/ModalDriver.h"
#include "fakes/RecordingServices.h"

using workorder::Frm_Wo;

class TestFrmWo : public QObject {
    Q_OBJECT
private slots:
    void controlsAsDesigned() {
        fakes::RecordingMessageBoxes messages;
        Frm_Wo dialog(messages);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Scan Wo"));
        QCOMPARE(dialog.size(), QSize(272, 88));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        QCOMPARE(dialog.Label1->text(), QStringLiteral("Scan BarCode"));
        QCOMPARE(dialog.txt_Sample->font().family(), QStringLiteral("@Arial Unicode MS"));
        QCOMPARE(dialog.txt_Sample->font().pointSizeF(), 9.75);
        QCOMPARE(dialog.cmd_Ok->text(), QStringLiteral("&OK"));
        QCOMPARE(dialog.cmd_Cancel->text(), QStringLiteral("&Cancel"));
        QCOMPARE(dialog.cmd_Exit->text(), QStringLiteral("E&xit"));
        QVERIFY(!dialog.ExitSoftware);
        // Tab runs OK, Cancel, Exit, then the field.
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.cmd_Ok->setFocus();
        QList<QWidget*> order;
        for (int i = 0; i < 3; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order.append(QApplication::focusWidget());
        }
        QCOMPARE(order, (QList<QWidget*>{dialog.cmd_Cancel, dialog.cmd_Exit, dialog.txt_Sample}));
        QVERIFY(messages.shown.isEmpty());
        dialog.hide();
        for (QPushButton* button : {dialog.cmd_Ok, dialog.cmd_Cancel, dialog.cmd_Exit}) {
            QVERIFY(!button->isDefault());
            QVERIFY(!button->autoDefault());
        }
    }

    void buttonsHideAndLeaveTheirOutcome_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("exit");
        // The field keeps all it received; an over-long entry is refused when it is accepted.
        const QString typed = QStringLiteral("1234 6789");
        QTest::newRow("ok") << QStringLiteral("ok") << typed << false;
        QTest::newRow("cancel") << QStringLiteral("cancel") << QString() << false;
        QTest::newRow("exit") << QStringLiteral("exit") << QString() << true;
        QTest::newRow("frame") << QStringLiteral("frame") << QString() << false;
        QTest::newRow("escape then return") << QStringLiteral("escape") << typed << false;
        QTest::newRow("keypad enter") << QStringLiteral("enter") << typed << false;
        QTest::newRow("held Return: repeats ignored") << QStringLiteral("held") << typed << false;
    }
    void buttonsHideAndLeaveTheirOutcome() {
        QFETCH(QString, button);
        QFETCH(QString, text);
        QFETCH(bool, exit);
        fakes::RecordingMessageBoxes messages;
        Frm_Wo dialog(messages);
        fakes::ModalDriver<Frm_Wo> driver;
        bool repeatIgnored = true;
        driver.then([&](Frm_Wo& shown) {
            QTest::keyClicks(shown.txt_Sample, QStringLiteral("1234 6789"));
            if (button == QStringLiteral("ok")) {
                shown.cmd_Ok->click();
            } else if (button == QStringLiteral("cancel")) {
                shown.cmd_Cancel->click();
            } else if (button == QStringLiteral("exit")) {
                shown.cmd_Exit->click();
            } else if (button == QStringLiteral("frame")) {
                shown.close();
            } else if (button == QStringLiteral("held")) {
                QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier,
                                 QStringLiteral("\r"), true);
                QApplication::sendEvent(shown.txt_Sample, &repeat);
                repeatIgnored = shown.isVisible();
                QTest::keyClick(shown.txt_Sample, Qt::Key_Return);
            } else if (button == QStringLiteral("enter")) {
                QTest::keyClick(shown.txt_Sample, Qt::Key_Enter, Qt::KeypadModifier);
            } else {
                // Escape has no meaning here; Return in the field is OK.
                QTest::keyClick(shown.txt_Sample, Qt::Key_Escape);
                QVERIFY(shown.isVisible());
                QTest::keyClick(shown.txt_Sample, Qt::Key_Return);
            }
            // A key that failed to close the dialog must fail the row, not hang it.
            if (shown.isVisible()) {
                shown.cmd_Cancel->click();
            }
        });
        dialog.exec();
        QCOMPARE(driver.handled(), 1);
        QVERIFY(dialog.isHidden());
        QCOMPARE(dialog.txt_Sample->text(), text);
        QCOMPARE(dialog.ExitSoftware, exit);
        QVERIFY(repeatIgnored);
    }

    void fieldHasTheFocusEachTimeItOpens() {
        fakes::RecordingMessageBoxes messages;
        Frm_Wo dialog(messages);
        fakes::ModalDriver<Frm_Wo> driver;
        QList<QWidget*> focused;
        for (int round = 0; round < 2; ++round) {
            driver.then([&](Frm_Wo& shown) {
                focused.append(shown.focusWidget());
                shown.cmd_Ok->setFocus();
                shown.cmd_Ok->click();
            });
            dialog.exec();
        }
        QCOMPARE(focused, (QList<QWidget*>{dialog.txt_Sample, dialog.txt_Sample}));
    }

    void keyOnOkShowsItsCode() {
        fakes::RecordingMessageBoxes messages;
        Frm_Wo dialog(messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.cmd_Ok->setFocus();
        QTest::keyClick(dialog.cmd_Ok, Qt::Key_1);
        QCOMPARE(messages.shown, QStringList{QStringLiteral("49")});
        QCOMPARE(dialog.txt_Sample->text(), QString());
        dialog.hide();
    }
};

QTEST_MAIN(TestFrmWo)
#include "tst_frmwo.moc"

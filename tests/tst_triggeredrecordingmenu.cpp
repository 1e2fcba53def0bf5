#include "app/mainwindow.h"
#include "device/handlethread.h"
#include "tracemenu/triggeredrecordingmenu.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class tst_TriggeredRecordingMenu : public QObject
{
    Q_OBJECT

private slots:
    void dialogRefusesOrArms_data();
    void dialogRefusesOrArms();
    void secondsTyped_data();
    void secondsTyped();
};

void tst_TriggeredRecordingMenu::dialogRefusesOrArms_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("stop");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QString>("refusedField");

    QTest::newRow("bad start expression")
            << "id == 0x7E8 &&" << 0 << "rx" << "t.blf" << "筛选表达式错误" << "txtTriggerStart";
    QTest::newRow("no stop expression") << "id == 0x7E8" << 0 << " " << "t.blf"
                                        << "请填写停止条件" << "txtTriggerStop";
    QTest::newRow("no file") << "0x7E8" << 2 << "" << "" << "请选择文件" << "txtTriggerFile";
    QTest::newRow("no folder") << "0x7E8" << 2 << "" << "missing/t.blf" << "文件夹不存在"
                               << "txtTriggerFile";
    QTest::newRow("armed, stop expression") << "id == 0x7E8" << 0 << "id == 0x7E9" << "t.blf"
                                            << "" << "";
    // The manual end needs no stop expression, and the format's extension is added.
    QTest::newRow("armed, manual end") << "ext" << 2 << "" << "t" << "" << "";
}

void tst_TriggeredRecordingMenu::dialogRefusesOrArms()
{
    QFETCH(QString, start);
    QFETCH(int, end);
    QFETCH(QString, stop);
    QFETCH(QString, file);
    QFETCH(QString, refusal);
    QFETCH(QString, refusedField);

    QTemporaryDir dir;
    MainWindow window;
    auto component = window.findChild<TriggeredRecordingMenu *>();
    QVERIFY(component);
    QMenu *menu = window.menuBar()->findChild<QMenu *>(QStringLiteral("menuFile"));
    QAction *startRecording = window.findChild<QAction *>("actionStartRecording");
    QAction *stopRecording = window.findChild<QAction *>("actionStopRecording");
    QAction *arm = window.findChild<QAction *>("actionTriggeredRecording");
    // The entry follows the plain recording's.
    QCOMPARE(menu->actions().indexOf(arm), menu->actions().indexOf(stopRecording) + 1);
    QVERIFY(!stopRecording->isEnabled());
    auto message = window.findChild<QLabel *>(QStringLiteral("lblMessage"));
    window.show();

    QString shown;
    QTimer::singleShot(0, this, [&] {
        auto dialog = window.findChild<TriggeredRecordingDialog *>();
        QVERIFY(dialog);
        dialog->findChild<QLineEdit *>("txtTriggerStart")->setText(start);
        dialog->findChild<QComboBox *>("cbxTriggerEnd")->setCurrentIndex(end);
        dialog->findChild<QLineEdit *>("txtTriggerStop")->setText(stop);
        dialog->findChild<QLineEdit *>("txtTriggerFile")
                ->setText(file.isEmpty() ? file : dir.filePath(file));
        dialog->accept();
        if (dialog->isVisible()) {
            shown = dialog->findChild<QLabel *>("lblTriggerError")->text();
            QVERIFY(dialog->findChild<QLineEdit *>(refusedField)
                            ->property("inputRefused").toBool());
            dialog->reject();
        }
    });
    arm->trigger();
    if (!refusal.isEmpty()) {
        QVERIFY2(shown.startsWith(refusal), qPrintable(shown));
        QVERIFY(!component->recorder()->isArmed());
        return;
    }
    QVERIFY2(shown.isEmpty(), qPrintable(shown));
    QVERIFY(component->recorder()->isArmed());
    QVERIFY(!startRecording->isEnabled());
    QVERIFY(stopRecording->isEnabled());
    auto label = window.findChild<QLabel *>("lblTriggeredRecording");
    QCOMPARE(label->text(), QStringLiteral("等待触发"));

    CanMessage trigger;
    trigger.id = 0x7E8;
    trigger.extended = end == 2;
    trigger.dlc = 1;
    trigger.data = "\x01";
    trigger.timestampUs = 1796660000000000LL;
    HandleThread::instance()->receiveDataSlot(trigger);
    QTRY_VERIFY(label->text().startsWith(QStringLiteral("录制: t_001.blf")));
    stopRecording->trigger();
    QVERIFY(!component->recorder()->isArmed());
    QVERIFY(label->isHidden());
    QVERIFY(startRecording->isEnabled());
    QTRY_COMPARE(message->text(), QStringLiteral("条件录制完成：t_001.blf 共1帧"));
    QVERIFY(QFile::exists(dir.filePath("t_001.blf")));
    HandleThread::instance()->takeMessages();
}

void tst_TriggeredRecordingMenu::secondsTyped_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("seconds");

    for (const char *field : { "spnBeforeSeconds", "spnAfterSeconds" }) {
        QTest::addRow("%s, ASCII", field) << field << "12" << 12;
        QTest::addRow("%s, full-width digits", field) << field << "１２" << 12;
        QTest::addRow("%s, full-width and ASCII", field) << field << "３0" << 30;
    }
    // No number at all leaves the value the field held.
    QTest::newRow("spnBeforeSeconds, letters") << "spnBeforeSeconds" << "ｘ" << 5;
    QTest::newRow("spnAfterSeconds, letters") << "spnAfterSeconds" << "ｘ" << 10;
}

// The seconds take what an input method in full-width mode types, key by key.
void tst_TriggeredRecordingMenu::secondsTyped()
{
    QFETCH(QString, field);
    QFETCH(QString, typed);

    TriggeredRecordingDialog dialog(nullptr, nullptr);
    auto box = dialog.findChild<QSpinBox *>(field);
    QVERIFY(box);
    box->setEnabled(true);
    auto edit = box->findChild<QLineEdit *>();
    edit->selectAll();
    edit->del();
    for (const QChar c : typed)
        edit->insert(QString(c));
    QTEST(box->value(), "seconds");
}

QTEST_MAIN(tst_TriggeredRecordingMenu)
#include "tst_triggeredrecordingmenu.moc"

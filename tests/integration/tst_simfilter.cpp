#include "device/handlethread.h"
#include "app/mainwindow.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QtTest>

// The frame log's filter on the simulated bus's vehicle traffic, with its database loaded
// through the window: every row shown matches, and rows keep arriving.
class tst_SimFilter : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void liveRowsMatch_data();
    void liveRowsMatch();
};

void tst_SimFilter::cleanup()
{
    // Frames still on their way to the hub would land in the next test's log.
    QMetaObject::invokeMethod(HandleThread::instance(), [] {}, Qt::BlockingQueuedConnection);
    HandleThread::instance()->takeMessages();
}

void tst_SimFilter::liveRowsMatch_data()
{
    QTest::addColumn<QString>("expression");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("text"); // every row shown has it in that column

    QTest::newRow("message") << "EngineData" << 1 << "0xc4";
    QTest::newRow("signal") << "WheelSpeeds.WheelSpeedFL >= 0 && dlc == 8" << 1 << "0x1a0";
    QTest::newRow("extended") << "ext && !EngineTemperature" << 1 << "0x18fef100";
    QTest::newRow("identifier set") << "id in {0x2F0, 0x500}" << 8 << "标准帧";
}

void tst_SimFilter::liveRowsMatch()
{
    QFETCH(QString, expression);
    QFETCH(int, column);
    QFETCH(QString, text);

    MainWindow window;
    window.show();
    window.loadDbcFiles({ QFINDTESTDATA("../../docs/examples/vehicle.dbc") });
    QTRY_VERIFY_WITH_TIMEOUT(!window.isLoadingDbc(), 10000);
    QVERIFY(!window.database().isEmpty());
    window.findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"))->setText("100000");
    auto field = window.findChild<QLineEdit *>(QStringLiteral("txtFilter"));
    field->setText(expression);
    QTest::keyClick(field, Qt::Key_Return);
    QVERIFY(!field->property("inputRefused").toBool());
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("btnOpen")),
                      Qt::LeftButton);
    QAbstractItemModel *model = window.findChild<QTableView *>(QStringLiteral("tbReceive"))
                                    ->model();
    QTRY_VERIFY_WITH_TIMEOUT(model->rowCount() >= 3, 15000);
    for (int row = 0; row < model->rowCount(); ++row)
        QCOMPARE(model->index(row, column).data().toString(), text);
    // Numbered as they arrived on the bus: rising, with the hidden frames' gaps.
    for (int row = 1; row < model->rowCount(); ++row) {
        QVERIFY(model->index(row, 0).data().toLongLong()
                > model->index(row - 1, 0).data().toLongLong());
    }
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("btnClose")),
                      Qt::LeftButton);
}

QTEST_MAIN(tst_SimFilter)
#include "tst_simfilter.moc"

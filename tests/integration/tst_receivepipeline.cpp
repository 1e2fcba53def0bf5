#include "app/mainwindow.h"
#include "device/handlethread.h"
#include "device/listenthread.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QtTest>

#include <memory>

// Frames of the simulated bus travel through the listen thread and the hub into the main
// window's frame log.
class tst_ReceivePipeline : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void vehicleTrafficFillsLog();
    void floodArrivesComplete();

private:
    qint64 shownReceiveCount() const;

    std::unique_ptr<MainWindow> window;
    QAbstractItemModel *model = nullptr;
};

void tst_ReceivePipeline::init()
{
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    model = window->findChild<QTableView *>(QStringLiteral("tbReceive"))->model();
}

void tst_ReceivePipeline::cleanup()
{
    window.reset();
    qunsetenv("CANABLE_SIM_TRAFFIC");
    // The device threads hand their frames to the hub before they end; left in its queue,
    // they would land in the next test's log.
    HandleThread::instance()->takeMessages();
}

qint64 tst_ReceivePipeline::shownReceiveCount() const
{
    const QString text = window->statusBar()->findChildren<QLabel *>().at(1)->text();
    return text.section(QLatin1Char(':'), 1).remove(QChar(u'次')).toLongLong();
}

void tst_ReceivePipeline::vehicleTrafficFillsLog()
{
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("btnOpen")),
                      Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(model->rowCount() > 0, 10000);
    const qint64 firstCount = shownReceiveCount();
    QTRY_VERIFY_WITH_TIMEOUT(shownReceiveCount() > firstCount, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!model->match(model->index(0, 8), Qt::DisplayRole,
                                           QStringLiteral("扩展帧")).isEmpty(), 10000);

    for (int row = 0; row < model->rowCount(); ++row) {
        QCOMPARE(model->index(row, 4).data().toString(), QStringLiteral("接收"));
        QCOMPARE(model->index(row, 8).data(Qt::BackgroundRole).value<QColor>(),
                 QColor(80, 80, 100));
    }
}

void tst_ReceivePipeline::floodArrivesComplete()
{
    qputenv("CANABLE_SIM_TRAFFIC", "flood:4000,dlc=2");
    auto limitEdit = window->findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"));
    limitEdit->setText("-1");
    emit limitEdit->editingFinished();
    ListenThread::instance()->openDevice(500);
    QTRY_VERIFY_WITH_TIMEOUT(model->rowCount() >= 4000, 20000);
    ListenThread::instance()->closeDevice();
    QTRY_COMPARE_WITH_TIMEOUT(shownReceiveCount(), HandleThread::instance()->getReceiveCount(),
                              10000);
    QTRY_COMPARE_WITH_TIMEOUT(qint64(model->rowCount()), shownReceiveCount(), 10000);

    // Flood frames count up from 0 in their two data bytes, little-endian.
    int sequence = 0;
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->index(row, 1).data().toString() != QLatin1String("0x100"))
            continue;
        const QByteArray data = QByteArray::fromHex(model->index(row, 2).data().toByteArray());
        QCOMPARE(quint8(data.at(0)) | quint8(data.at(1)) << 8, sequence);
        ++sequence;
    }
    QVERIFY(sequence >= 4000);
}

QTEST_MAIN(tst_ReceivePipeline)
#include "tst_receivepipeline.moc"

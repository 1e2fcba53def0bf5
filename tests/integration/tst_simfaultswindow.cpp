#include "app/mainwindow.h"
#include "device/handlethread.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QtTest>

#include <memory>

// The simulated bus's fault settings, seen where the engineer looks: the status bar's
// health fields and the error rows of the frame log.
class tst_SimFaultsWindow : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void faultsShow_data();
    void faultsShow();

private:
    QString label(const char *name) const;
    bool logHasErrorRow(const QString &text) const;

    std::unique_ptr<MainWindow> window;
};

void tst_SimFaultsWindow::cleanup()
{
    window.reset();
    qunsetenv("CANABLE_SIM_FAULTS");
    qunsetenv("CANABLE_SIM_TRAFFIC");
    HandleThread::instance()->takeMessages();
}

QString tst_SimFaultsWindow::label(const char *name) const
{
    return window->findChild<QLabel *>(QLatin1String(name))->text();
}

bool tst_SimFaultsWindow::logHasErrorRow(const QString &text) const
{
    const QAbstractItemModel *model =
        window->findChild<QTableView *>(QStringLiteral("tbReceive"))->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->index(row, 8).data().toString() == QStringLiteral("错误帧")
            && model->index(row, 2).data().toString().contains(text))
            return true;
    }
    return false;
}

void tst_SimFaultsWindow::faultsShow_data()
{
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<QByteArray>("traffic");
    QTest::addColumn<QString>("rowText");     // part of an error row's data text, or empty
    QTest::addColumn<QStringList>("states");  // the state field's texts, in this order

    QTest::newRow("acknowledgement errors")
        << QByteArray("errors:ack:200/s") << QByteArray() << QStringLiteral("ACK错误")
        << QStringList{ QStringLiteral("状态:主动错误") };
    QTest::newRow("bus-off cycle and recovery")
        << QByteArray("busoff:2s") << QByteArray() << QStringLiteral("总线关闭")
        << QStringList{ QStringLiteral("状态:错误被动"), QStringLiteral("状态:总线关闭"),
                        QStringLiteral("状态:主动错误") };
    QTest::newRow("dropped frames")
        << QByteArray("drop:500/s") << QByteArray("flood:2000,dlc=2") << QString()
        << QStringList{ QStringLiteral("状态:主动错误") };
}

void tst_SimFaultsWindow::faultsShow()
{
    QFETCH(QByteArray, faults);
    QFETCH(QByteArray, traffic);
    QFETCH(QString, rowText);
    QFETCH(QStringList, states);

    qputenv("CANABLE_SIM_FAULTS", faults);
    if (!traffic.isEmpty())
        qputenv("CANABLE_SIM_TRAFFIC", traffic);
    window = std::make_unique<MainWindow>();
    auto limitEdit = window->findChild<QLineEdit *>(QStringLiteral("txtMaxRowCount"));
    limitEdit->setText("100000");
    emit limitEdit->editingFinished();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("btnOpen")),
                      Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(window->findChild<QPushButton *>(QStringLiteral("btnClose"))
                                 ->isEnabled(), 10000);

    for (const QString &state : qAsConst(states))
        QTRY_COMPARE_WITH_TIMEOUT(label("lblBusState"), state, 15000);
    if (!rowText.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(logHasErrorRow(rowText), 15000);
        QTRY_VERIFY(label("lblErrorCount") != QStringLiteral("错误帧:0"));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(label("lblDrops") != QStringLiteral("丢帧:0"), 15000);
        QVERIFY(label("lblDrops") != QStringLiteral("丢帧:--"));
    }
    QVERIFY(!label("lblBusLoad").endsWith(QStringLiteral("--")));
}

QTEST_MAIN(tst_SimFaultsWindow)
#include "tst_simfaultswindow.moc"

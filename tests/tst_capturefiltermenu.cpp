#include "app/mainwindow.h"
#include "capture/capturefiltermenu.h"
#include "device/listenthread.h"
#include "tests/fake/fakecanable.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QtTest>

class tst_CaptureFilterMenu : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { ListenThread::instance()->setCaptureFilter(CaptureFilter()); }
    void dialogSetsTheFilter_data();
    void dialogSetsTheFilter();
};

void tst_CaptureFilterMenu::dialogSetsTheFilter_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("inForce");

    QTest::newRow("set") << "" << " 123:7FF,400~700 " << true << "123:7FF,400~700";
    QTest::newRow("cleared") << "123:7FF" << "  " << true << "";
    // The dialog stays open on refused text; cancelling it keeps the filter in force.
    QTest::newRow("refused keeps the old") << "123:7FF" << "123:7FF,800:7FF" << false
                                           << "123:7FF";
}

void tst_CaptureFilterMenu::dialogSetsTheFilter()
{
    QFETCH(QString, before);
    QFETCH(QString, typed);
    QFETCH(bool, accepted);
    QFETCH(QString, inForce);

    MainWindow window;
    auto component = window.findChild<CaptureFilterMenu *>();
    QVERIFY(component);
    QMenu *menu = window.menuBar()->findChild<QMenu *>(QStringLiteral("menuDevice"));
    QVERIFY(menu);
    QAction *action = window.findChild<QAction *>(QStringLiteral("actionCaptureFilter"));
    QVERIFY(action);
    QVERIFY(menu->actions().contains(action));
    window.show();
    QVERIFY(component->apply(before));
    auto label = window.findChild<QLabel *>(QStringLiteral("lblCaptureFilter"));
    QVERIFY(label);
    QCOMPARE(label->isVisible(), !before.isEmpty());

    QString refusal;
    QTimer::singleShot(0, this, [&] {
        auto dialog = window.findChild<CaptureFilterDialog *>();
        QVERIFY(dialog);
        auto field = dialog->findChild<QLineEdit *>(QStringLiteral("txtCaptureFilter"));
        QCOMPARE(field->text(), before);
        field->setText(typed);
        dialog->accept();
        if (dialog->isVisible()) {
            refusal = dialog->findChild<QLabel *>(QStringLiteral("lblCaptureFilterError"))
                              ->text();
            QVERIFY(field->property("inputRefused").toBool());
            dialog->reject();
        }
    });
    action->trigger();

    QCOMPARE(refusal.isEmpty(), accepted);
    if (!accepted)
        QVERIFY2(refusal.contains(QStringLiteral("（位置 8）")), qPrintable(refusal));
    QCOMPARE(ListenThread::instance()->captureFilter().text, inForce);
    QCOMPARE(label->isVisible(), !inForce.isEmpty());
    QCOMPARE(label->text(), QStringLiteral("接收过滤中"));
    const QString status = window.findChild<QLabel *>(QStringLiteral("lblMessage"))->text();
    QCOMPARE(status.isEmpty(), !accepted);
    if (accepted) {
        QCOMPARE(status, inForce.isEmpty() ? QStringLiteral("已取消接收过滤")
                                           : QStringLiteral("接收过滤：%1").arg(inForce));
    }
}

QTEST_MAIN(tst_CaptureFilterMenu)
#include "tst_capturefiltermenu.moc"

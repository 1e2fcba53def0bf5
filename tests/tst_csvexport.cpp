#include "app/mainwindow.h"
#include "device/handlethread.h"
#include "monitor/csvexport.h"
#include "monitor/framelog.h"
#include "tests/fake/fakecanable.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class tst_CsvExport : public QObject
{
    Q_OBJECT

private slots:
    void writesLog_data();
    void writesLog();
    void unwritablePathWritesNothing_data();
    void unwritablePathWritesNothing();
    void exportButton_data();
    void exportButton();
};

static const QByteArray headerLine =
    "序号,帧ID,数据,DLC,传输方向,状态,时间标识,格式,类型,\n";

static QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void tst_CsvExport::writesLog_data()
{
    QTest::addColumn<QList<QStringList>>("cells");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QByteArray>("expected");

    const QStringList received = { "0", "0x7df", "01 a2 ff", "0x03", "接收", "成功",
                                   "09:05:03:007", "数据帧", "标准帧" };
    const QStringList withComma = { "1", "0x18fef100", "", "0x00", "发送", "失败",
                                    "23:59:59:999", "远程帧", "a,b" };

    QTest::newRow("empty log") << QList<QStringList>() << 0 << headerLine;
    QTest::newRow("rows, comma unquoted")
        << QList<QStringList>{ received, withComma } << 2
        << headerLine + "0,0x7df,01 a2 ff,0x03,接收,成功,09:05:03:007,数据帧,标准帧,\n"
                        "1,0x18fef100,,0x00,发送,失败,23:59:59:999,远程帧,a,b,\n";
    QTest::newRow("rows gone since the click")
        << QList<QStringList>{ received } << 2
        << headerLine + "0,0x7df,01 a2 ff,0x03,接收,成功,09:05:03:007,数据帧,标准帧,\n"
                        ",,,,,,,,,\n";
}

void tst_CsvExport::writesLog()
{
    QFETCH(QList<QStringList>, cells);
    QFETCH(int, rows);
    QFETCH(QByteArray, expected);

    QStandardItemModel model(0, columnHeaders.size());
    for (int column = 0; column < columnHeaders.size(); ++column)
        model.setHorizontalHeaderItem(column, new QStandardItem(columnHeaders.at(column).first));
    for (const QStringList &texts : cells) {
        QList<QStandardItem *> row;
        for (const QString &text : texts)
            row << new QStandardItem(text);
        model.appendRow(row);
    }

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.csv"));
    QVERIFY(exportFrameLog(&model, rows, model.columnCount(), path));
    QCOMPARE(readAll(path), expected);
}

void tst_CsvExport::unwritablePathWritesNothing_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("missing directory") << "missing/log.csv";
    QTest::newRow("directory") << ".";
}

void tst_CsvExport::unwritablePathWritesNothing()
{
    QFETCH(QString, relativePath);
    QTemporaryDir dir;
    QStandardItemModel model(2, 9);
    QVERIFY(!exportFrameLog(&model, 2, 9, dir.filePath(relativePath)));
    QVERIFY(QDir(dir.path()).isEmpty());
}

void tst_CsvExport::exportButton_data()
{
    QTest::addColumn<bool>("accept");
    QTest::newRow("cancelled") << false;
    QTest::newRow("accepted") << true;
}

void tst_CsvExport::exportButton()
{
    QFETCH(bool, accept);
    FakeCanable::reset();
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("DebugConfig")));
    const QString previousDir = QDir::currentPath();
    QDir::setCurrent(dir.path());
    const QString path = dir.filePath(QStringLiteral("DebugConfig/log.csv"));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    CanMessage msg;
    msg.id = 5;
    HandleThread::instance()->receiveDataSlot(msg);
    QTRY_COMPARE_WITH_TIMEOUT(receiveModel->rowCount(), 1, 10000);

    // The dialog runs its own event loop; a timer inside it answers the dialog.
    QString caption;
    QStringList filters;
    QString startDir;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        auto dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        caption = dialog->windowTitle();
        filters = dialog->nameFilters();
        startDir = dialog->directory().absolutePath();
        if (accept) {
            // selectFile() is ignored while the dialog's directory model is still loading,
            // so the name goes where a user would type it.
            auto nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(nameEdit);
            nameEdit->setText(path);
            static_cast<QDialog *>(dialog)->accept();
        } else {
            dialog->reject();
        }
    });
    answer.start(10);
    QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("btnExport")),
                      Qt::LeftButton);
    answer.stop();
    QDir::setCurrent(previousDir);

    QCOMPARE(caption, QStringLiteral("保存表格"));
    QCOMPARE(filters, QStringList(QStringLiteral("csv File(*.csv)")));
    QCOMPARE(startDir, QDir(dir.filePath(QStringLiteral("DebugConfig"))).absolutePath());
    QCOMPARE(QFile::exists(path), accept);
    if (accept)
        QVERIFY(readAll(path).startsWith(headerLine + "0,0x05,"));
    for (QWidget *widget : QApplication::topLevelWidgets())
        QVERIFY(!(qobject_cast<QMessageBox *>(widget) && widget->isVisible()));
    HandleThread::instance()->takeMessages();
}

QTEST_MAIN(tst_CsvExport)
#include "tst_csvexport.moc"

// The embedded resources: the style sheet's images, the style sheet itself and the
// window icon, all read back through the resource system as the application sees them.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QResource>
#include <QSet>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableView>
#include <QTabWidget>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

struct ExpectedImage
{
    QString path;
    QSize size;
};

QList<ExpectedImage> expectedImages()
{
    QList<ExpectedImage> list;
    const auto add = [&list](QSize size, std::initializer_list<QByteArray> names) {
        for (const QByteArray &name : names)
            list.append({QStringLiteral(":/icons/%1.png").arg(QString::fromLatin1(name)), size});
    };
    for (const char *variant : {"", "_disabled", "_focus"}) {
        const QByteArray v(variant);
        add({32, 32}, {"checkbox_checked" + v, "checkbox_unchecked" + v,
                       "checkbox_indeterminate" + v, "radio_checked" + v, "radio_unchecked" + v});
    }
    add({9, 6}, {"up_arrow", "up_arrow_disabled", "down_arrow", "down_arrow_disabled",
                 "branch_open", "branch_open-on"});
    add({6, 9}, {"left_arrow", "left_arrow_disabled", "right_arrow", "right_arrow_disabled",
                 "branch_closed", "branch_closed-on"});
    add({81, 58}, {"stylesheet-branch-end", "stylesheet-vline"});
    add({24, 17}, {"stylesheet-branch-more"});
    add({64, 64}, {"close", "close-hover", "close-pressed", "undock", "transparent"});
    add({16, 64}, {"Hmovetoolbar"});
    add({54, 10}, {"Vmovetoolbar"});
    add({7, 63}, {"Hsepartoolbar"});
    add({63, 7}, {"Vsepartoolbar"});
    add({16, 16}, {"sizegrip"});
    return list;
}

QByteArray readResource(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isStoredCompressed(const QString &path)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 13, 0)
    return QResource(path).compressionAlgorithm() != QResource::NoCompression;
#else
    return QResource(path).isCompressed();
#endif
}

QStringList styleWarnings;
QtMessageHandler previousHandler = nullptr;

void collectStyleWarnings(QtMsgType type, const QMessageLogContext &context,
                          const QString &message)
{
    // "Could not parse application stylesheet" and the CSS parser's value warnings
    if (message.contains(QLatin1String("stylesheet"), Qt::CaseInsensitive)
            || message.startsWith(QLatin1String("QCss")))
        styleWarnings.append(message);
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void image_data();
    void image();
    void styleSheetIsAsciiWithCrLf();
    void styleSheetUsesExactlyTheImages();
    void styleSheetParsesAndApplies();
    void windowIcon();
};

void TestResources::image_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    for (const ExpectedImage &image : expectedImages())
        QTest::newRow(qPrintable(image.path)) << image.path << image.size;
}

void TestResources::image()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);

    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);
    QVERIFY(image.hasAlphaChannel());
    QVERIFY2(!isStoredCompressed(path), "images are stored as they are");

    int visible = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            visible += qAlpha(image.pixel(x, y)) > 0;
    if (path.endsWith(QLatin1String("/transparent.png")))
        QCOMPARE(visible, 0);
    else
        QVERIFY2(visible > 0 && visible < image.width() * image.height(),
                 "a shape on a clear ground");
}

void TestResources::styleSheetIsAsciiWithCrLf()
{
    QVERIFY(isStoredCompressed(QStringLiteral(":/style.qss")));
    const QByteArray sheet = readResource(QStringLiteral(":/style.qss"));
    QVERIFY(sheet.size() > 15000);
    QVERIFY(sheet.endsWith("}\r\n"));
    QCOMPARE(sheet.count("\r\n"), sheet.count('\n'));
    QCOMPARE(sheet.count('\r'), sheet.count('\n'));
    for (int i = 0; i < sheet.size(); ++i) {
        const char c = sheet.at(i);
        QVERIFY2((c >= 0x20 && c < 0x7f) || c == '\r' || c == '\n',
                 qPrintable(QStringLiteral("byte %1 at offset %2").arg(int(uchar(c))).arg(i)));
    }
}

void TestResources::styleSheetUsesExactlyTheImages()
{
    const QString sheet = QString::fromLatin1(readResource(QStringLiteral(":/style.qss")));
    QSet<QString> used;
    const QRegularExpression url(QStringLiteral("url\\(([^)]*)\\)"));
    for (auto it = url.globalMatch(sheet); it.hasNext();) {
        const QString path = it.next().captured(1);
        QVERIFY2(path.startsWith(QLatin1String(":/icons/")) && QFile::exists(path),
                 qPrintable(path));
        used.insert(path);
    }

    QSet<QString> expected;
    for (const ExpectedImage &image : expectedImages())
        expected.insert(image.path);
    QCOMPARE(expected.size(), 40);
    QSet<QString> bundled;
    for (const QString &name : QDir(QStringLiteral(":/icons")).entryList(QDir::Files))
        bundled.insert(QStringLiteral(":/icons/") + name);
    QCOMPARE(bundled, expected);
    QCOMPARE(used, expected);
}

void TestResources::styleSheetParsesAndApplies()
{
    styleWarnings.clear();
    previousHandler = qInstallMessageHandler(collectStyleWarnings);
    qApp->setStyleSheet(QString::fromLatin1(readResource(QStringLiteral(":/style.qss"))));

    // A small gallery of the widgets the theme covers, polished and painted once.
    QMainWindow window;
    window.menuBar()->addMenu(QStringLiteral("File"))->addAction(QStringLiteral("Quit"));
    window.addToolBar(QStringLiteral("Tools"))->addAction(QStringLiteral("Go"));
    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    auto *label = new QLabel(QStringLiteral("label"));
    auto *edit = new QLineEdit(QStringLiteral("edit"));
    auto *combo = new QComboBox;
    combo->addItem(QStringLiteral("x"));
    auto *button = new QPushButton(QStringLiteral("button"));
    auto *check = new QCheckBox(QStringLiteral("check"));
    check->setTristate(true);
    check->setCheckState(Qt::PartiallyChecked);
    auto *tabs = new QTabWidget;
    tabs->setTabsClosable(true);
    auto *table = new QTableView;
    auto *tree = new QTreeWidget;
    auto *node = new QTreeWidgetItem(tree, {QStringLiteral("node")});
    new QTreeWidgetItem(node, {QStringLiteral("leaf")});
    tree->expandAll();
    tabs->addTab(table, QStringLiteral("table"));
    tabs->addTab(tree, QStringLiteral("tree"));
    auto *progress = new QProgressBar;
    progress->setValue(40);
    for (QWidget *w : std::initializer_list<QWidget *>{label, edit, combo, button, check,
                                                       new QSpinBox, progress, tabs})
        layout->addWidget(w);
    window.setCentralWidget(central);
    window.statusBar()->addWidget(new QLabel(QStringLiteral("status")));
    window.resize(400, 600);
    const QImage shot = window.grab().toImage();
    const QPoint margin = central->mapTo(&window, QPoint(2, 2));
    label->setEnabled(false);
    const QPalette labelPalette = label->palette();
    const QPalette editPalette = edit->palette();
    const int comboWidth = combo->minimumSizeHint().width();

    qInstallMessageHandler(previousHandler);
    qApp->setStyleSheet(QString());
    QVERIFY2(styleWarnings.isEmpty(), qPrintable(styleWarnings.join(QLatin1Char('\n'))));

    QCOMPARE(shot.pixelColor(margin).name(), QStringLiteral("#302f2f"));
    QCOMPARE(labelPalette.color(QPalette::Active, QPalette::WindowText), QColor("silver"));
    QCOMPARE(labelPalette.color(QPalette::Disabled, QPalette::WindowText), QColor("#404040"));
    QCOMPARE(editPalette.color(QPalette::Base), QColor("#201f1f"));
    QCOMPARE(editPalette.color(QPalette::Highlight), QColor("#78879b"));
    QCOMPARE(editPalette.color(QPalette::HighlightedText), QColor(Qt::black));
    QVERIFY(comboWidth >= 75);
}

void TestResources::windowIcon()
{
    QVERIFY(isStoredCompressed(QStringLiteral(":/lg2.ico")));
    const QByteArray data = readResource(QStringLiteral(":/lg2.ico"));
    QVERIFY(data.startsWith(QByteArray("\0\0\1\0\1\0", 6))); // an icon directory of one entry

    QImageReader reader(QStringLiteral(":/lg2.ico"));
    QCOMPARE(reader.format(), QByteArray("ico"));
    QCOMPARE(reader.imageCount(), 1);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), QSize(256, 256));
    QVERIFY(image.hasAlphaChannel());
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);       // rounded corner
    QCOMPARE(qAlpha(image.pixel(128, 128)), 255); // solid middle
    QCOMPARE(QIcon(QStringLiteral(":/lg2.ico")).availableSizes(), QList<QSize>{QSize(256, 256)});
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"

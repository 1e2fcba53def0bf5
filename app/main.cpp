#include "mainwindow.h"

#include <QApplication>
#include <QFile>

int main(int argc, char *argv[])
{
    // Qt's own Unix event dispatcher wakes a thread once for a burst of posted events where
    // the glib one writes an eventfd for each, which is most of the hub thread's cost on a
    // full bus. Every thread reads this when it creates its dispatcher, so it is set first.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);

    QFile styleFile(QStringLiteral(":/style.qss"));
    if (styleFile.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = styleFile.readAll();
        // The sheet ends at the first NUL byte if one slipped into the resource.
        app.setStyleSheet(QString::fromUtf8(bytes.constData(), qstrnlen(bytes.constData(),
                                                                          uint(bytes.size()))));
    }

    MainWindow window;
    window.resize(1680, 622);
    window.show();
    return app.exec();
}

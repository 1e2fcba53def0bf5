#include "mainwindow.h"

#include <QApplication>
#include <QFile>

int main(int argc, char *argv[])
{
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

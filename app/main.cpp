#include "app/mainwindow.h"
#include "memory/heaprelease.h"

#include <QApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

void forwardSignal(int)
{
    const char byte = 1;
    // Nothing else is safe in a signal handler; a full pipe already holds a quit request.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// A session logout, `kill` or Ctrl+C in the terminal should close the window like its
// close button does, so the device is released and the threads end, rather than die.
void quitOnTerminationSignals(QApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        return;
    auto notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        QApplication::closeAllWindows();
        QApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    configureHeap();
    // Qt's own Unix event dispatcher wakes a thread once for a burst of posted events where
    // the glib one writes an eventfd for each. Every thread reads this when it creates its
    // dispatcher, so it is set first.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    quitOnTerminationSignals(&app);

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

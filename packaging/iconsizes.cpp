// Build-time tool: scales the largest image of the window icon to the sizes of the
// desktop icon theme and writes OUTDIR/<n>x<n>/apps/NAME.png for each.
// Usage: iconsizes ICON OUTDIR NAME SIZE...

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageReader>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: iconsizes ICON OUTDIR NAME SIZE...\n");
        return 2;
    }

    QImageReader reader(args.at(1));
    QImage largest;
    do {
        const QImage image = reader.read();
        if (image.width() > largest.width())
            largest = image;
    } while (reader.jumpToNextImage());
    if (largest.isNull()) {
        std::fprintf(stderr, "iconsizes: cannot read %s: %s\n", qPrintable(args.at(1)),
                     qPrintable(reader.errorString()));
        return 1;
    }

    for (int i = 4; i < args.size(); ++i) {
        bool ok = false;
        const int size = args.at(i).toInt(&ok);
        if (!ok || size <= 0 || size > largest.width()) {
            std::fprintf(stderr, "iconsizes: no %s px icon from a %d px image\n",
                         qPrintable(args.at(i)), largest.width());
            return 2;
        }
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(args.at(2)).arg(size);
        const QString path = dir + QLatin1Char('/') + args.at(3) + QStringLiteral(".png");
        const QImage scaled = largest.scaled(size, size, Qt::KeepAspectRatio,
                                             Qt::SmoothTransformation);
        if (!QDir().mkpath(dir) || !scaled.save(path, "PNG")) {
            std::fprintf(stderr, "iconsizes: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}

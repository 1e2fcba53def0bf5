// Cost of reading a large DBC database and of decoding frames with it.
//
// Usage: bench_dbc [MEGABYTES [FRAMES]]   (defaults 5 and 2000000)

#include "bench/benchdbc.h"
#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>

namespace {

// Messages of 8 bytes with twelve signals each, half Intel and half Motorola, some
// multiplexed, with comments, value descriptions and cycle times, as exported databases
// of a whole vehicle look.
QByteArray generate(qint64 bytes, int *messageCount)
{
    QByteArray text = "VERSION \"generated\"\n\nNS_ :\n\tCM_\n\tBA_\n\tVAL_\n\n"
                      "BS_:\n\nBU_: A B C\n\n";
    QByteArray tail = "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 10000;\n";
    int count = 0;
    QRandomGenerator generator(3);
    while (text.size() + tail.size() < bytes) {
        const bool extended = count % 3 == 0;
        const quint32 id = extended ? 0x80000000u | (0x10000 + count) : quint32(count % 0x800);
        if (!extended && count >= 0x800) {
            ++count;
            continue;
        }
        const QByteArray idText = QByteArray::number(id);
        text += "BO_ " + idText + " Message" + QByteArray::number(count) + ": 8 A\n";
        const bool multiplexed = count % 5 == 0;
        if (multiplexed)
            text += " SG_ Selector M : 0|4@1+ (1,0) [0|15] \"\" B\n";
        for (int s = 0; s < 12; ++s) {
            const int length = 1 + int(generator.bounded(16));
            const bool motorola = s % 2;
            const int start = motorola ? 7 + 8 * int(generator.bounded(6))
                                       : 4 + int(generator.bounded(60 - length));
            text += " SG_ Signal" + QByteArray::number(s)
                + (multiplexed && s > 5 ? " m" + QByteArray::number(s % 4) : QByteArray())
                + " : " + QByteArray::number(start) + "|" + QByteArray::number(length)
                + (motorola ? "@0" : "@1") + (s % 3 ? "+" : "-")
                + " (0.1,-20) [-20|6533.5] \"unit\" B,C\n";
        }
        text += "\n";
        tail += "CM_ BO_ " + idText + " \"Message number " + QByteArray::number(count) + "\";\n";
        tail += "BA_ \"GenMsgCycleTime\" BO_ " + idText + " "
                + QByteArray::number(10 * (1 + count % 100)) + ";\n";
        tail += "VAL_ " + idText + " Signal0 0 \"Off\" 1 \"On\" ;\n";
        ++count;
    }
    *messageCount = count;
    return text + tail;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const double megabytes = argc > 1 ? std::max(0.1, std::atof(argv[1])) : 5;
    const qint64 frames = argc > 2 ? std::max(1000LL, std::atoll(argv[2])) : 2000000;

    int generated = 0;
    const QByteArray text = generate(qint64(megabytes * 1024 * 1024), &generated);
    double bestParse = 1e100;
    DbcFile file;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer timer;
        timer.start();
        file = DbcReader::parse(text, QStringLiteral("generated.dbc"));
        bestParse = std::min(bestParse, timer.nsecsElapsed() / 1e6);
    }
    DbcDatabase database;
    const int signalCount = BenchUtil::addGenerated(file, database);
    if (signalCount < 0)
        return 1;
    std::printf("parse: %.2f MB, %d messages, %d signals: %.1f ms (best of 3)\n",
                text.size() / 1048576.0, database.messages().size(), signalCount, bestParse);

    // Look-up by identifier is part of the cost a view pays per frame.
    QVector<QPair<quint32, bool>> ids;
    for (const DbcMessage &message : database.messages())
        ids.append({message.id, message.extended});
    QVector<quint8> payloads(4096 * 8);
    QRandomGenerator generator(9);
    for (quint8 &byte : payloads)
        byte = quint8(generator.bounded(256));
    QVector<DbcDecodedSignal> values;
    double checksum = 0;
    QElapsedTimer timer;
    timer.start();
    for (qint64 i = 0; i < frames; ++i) {
        const auto &id = ids.at(int(i % ids.size()));
        const DbcMessage *message = database.message(id.first, id.second);
        const int count = DbcCodec::decode(*message, payloads.constData() + (i % 4096) * 8, 8,
                                           &values);
        for (int s = 0; s < count; ++s)
            checksum += values.at(s).physical;
    }
    const double perFrame = double(timer.nsecsElapsed()) / frames;
    // 8-byte standard frames back to back at 1 Mbit/s, the densest classic bus.
    const double fullBus = 1e6 / 111;
    std::printf("decode: %lld frames, %.0f ns per frame (look-up and all signals), "
                "%.2f %% of a core at %.0f frames/s (checksum %g)\n",
                frames, perFrame, perFrame * fullBus / 1e7, fullBus, checksum);
    return 0;
}

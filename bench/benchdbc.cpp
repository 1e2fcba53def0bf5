#include "bench/benchdbc.h"

#include "dbc/dbcdatabase.h"

#include <QFile>

#include <algorithm>
#include <cstdio>

namespace BenchUtil {

namespace {

// Byte 0 is the multiplexor or a plain signal; the others are the same in every message.
const char plainFirst[] = " SG_ Speed : 0|16@1+ (0.01,0) [0|300] \"km/h\" ECU2\n";
const char multiplexedFirst[] =
    " SG_ Mode M : 0|2@1+ (1,0) [0|3] \"\" ECU2\n"
    " SG_ Speed m0 : 2|14@1+ (0.02,0) [0|300] \"km/h\" ECU2\n"
    " SG_ Rpm m1 : 2|14@1+ (1,0) [0|8000] \"rpm\" ECU2\n"
    " SG_ Level m2 : 2|14@1- (0.01,0) [-50|50] \"%\" ECU2\n"
    " SG_ Code m3 : 2|14@1+ (1,0) [0|3] \"\" ECU2\n";
const char otherSignals[] =
    " SG_ Gear : 16|4@1+ (1,0) [0|7] \"\" ECU2\n"
    " SG_ Active : 20|1@1+ (1,0) [0|1] \"\" ECU2\n"
    " SG_ Trim : 21|3@1- (1,0) [-4|3] \"\" ECU2\n"
    " SG_ Temperature : 31|8@0+ (0.5,-40) [-40|85] \"degC\" ECU2\n"
    " SG_ Pressure : 39|12@0+ (0.1,0) [0|300] \"kPa\" ECU2\n"
    " SG_ Current : 48|12@1- (0.05,0) [-80|80] \"A\" ECU2\n"
    " SG_ Counter : 60|4@1+ (1,0) [0|15] \"\" ECU2\n";

} // namespace

QByteArray generatedDbc(int messages, int firstId)
{
    messages = std::clamp(messages, 0, 0x800 - firstId);
    QByteArray text = "VERSION \"bench\"\n\nNS_ :\n\tCM_\n\tBA_DEF_\n\tBA_\n\tVAL_\n\n"
                      "BS_:\n\nBU_: ECU1 ECU2\n\n";
    QByteArray tail = "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 10000;\n"
                      "BA_DEF_DEF_ \"GenMsgCycleTime\" 0;\n";
    for (int i = 0; i < messages; ++i) {
        const QByteArray id = QByteArray::number(firstId + i);
        const bool multiplexed = i % 4 == 0;
        text += "BO_ " + id + " Message" + QByteArray::number(i) + ": 8 ECU1\n";
        text += multiplexed ? multiplexedFirst : plainFirst;
        text += otherSignals;
        text += '\n';
        tail += "BA_ \"GenMsgCycleTime\" BO_ " + id + (i % 10 == 9 ? " 20;\n" : " 100;\n");
        tail += "VAL_ " + id + " Gear 0 \"Park\" 1 \"Reverse\" 2 \"Neutral\" 3 \"Drive\" ;\n";
        tail += "VAL_ " + id + " Active 0 \"Off\" 1 \"On\" ;\n";
        if (multiplexed)
            tail += "VAL_ " + id + " Code 0 \"None\" 1 \"Warning\" 2 \"Fault\" ;\n";
        if (i % 3 == 0)
            tail += "CM_ BO_ " + id + " \"Generated message " + QByteArray::number(i) + "\";\n";
    }
    return text + tail;
}

int addGenerated(const DbcFile &file, DbcDatabase &database)
{
    if (!file.error.isEmpty() || !file.warnings.isEmpty()) {
        std::fprintf(stderr, "generated database did not read cleanly: %s %s\n",
                     qPrintable(file.error), qPrintable(file.warnings.value(0)));
        return -1;
    }
    database.add(file);
    int signalCount = 0;
    for (const DbcMessage &message : database.messages())
        signalCount += message.signalList.size();
    return signalCount;
}

bool writeLargeDbc(const QString &path, qint64 bytes, int *messages, int *signalCount)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray tail = "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 10000;\n";
    QByteArray text = "VERSION \"generated\"\n\nNS_ :\n\tCM_\n\tBA_\n\tVAL_\n\n"
                      "BS_:\n\nBU_: A B C\n\n";
    qint64 written = 0;
    int count = 0;
    int signalsWritten = 0;
    // The tail (comments, attributes, value tables) grows too; it is written at the end.
    while (written + text.size() + tail.size() < bytes) {
        const QByteArray id = QByteArray::number(0x80000000u | quint32(0x1000 + count));
        text += "BO_ " + id + " M" + QByteArray::number(count) + ": 8 A\n";
        const bool multiplexed = count % 5 == 0;
        for (int s = 0; s < 16; ++s) {
            const bool motorola = s % 2;
            const int length = 1 + (count + s) % 4;
            const int start = motorola ? 7 + 8 * (s / 2) : 4 * s;
            QByteArray mode;
            if (multiplexed && s == 0)
                mode = " M";
            else if (multiplexed && s > 8)
                mode = " m" + QByteArray::number(s % 3);
            text += " SG_ S" + QByteArray::number(s) + mode + " : " + QByteArray::number(start)
                    + "|" + QByteArray::number(length) + (motorola ? "@0+" : "@1-")
                    + " (0.5,-2) [-2|5] \"V\" B\n";
        }
        signalsWritten += 16;
        text += "\n";
        tail += "CM_ BO_ " + id + " \"Message " + QByteArray::number(count) + "\";\n";
        if (count % 10 == 0)
            tail += "CM_ SG_ " + id + " S1 \"Signal of message " + QByteArray::number(count)
                    + "\";\n";
        tail += "BA_ \"GenMsgCycleTime\" BO_ " + id + " "
                + QByteArray::number(10 * (1 + count % 100)) + ";\n";
        tail += "VAL_ " + id + " S2 0 \"Off\" 1 \"On\" 2 \"Error\" ;\n";
        ++count;
        if (text.size() > 1 << 20) {
            if (file.write(text) != text.size())
                return false;
            written += text.size();
            text.clear();
        }
    }
    text += tail;
    if (file.write(text) != text.size() || !file.flush())
        return false;
    *messages = count;
    *signalCount = signalsWritten;
    return true;
}

quint64 benchPayload(quint64 frame)
{
    // An odd multiplier visits every value and spreads a counter's changes over all bits.
    return (frame + 1) * 0x9E3779B97F4A7C15ull;
}

} // namespace BenchUtil

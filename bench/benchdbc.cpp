#include "bench/benchdbc.h"

#include "dbc/dbcdatabase.h"

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

quint64 benchPayload(quint64 frame)
{
    // An odd multiplier visits every value and spreads a counter's changes over all bits.
    return (frame + 1) * 0x9E3779B97F4A7C15ull;
}

} // namespace BenchUtil

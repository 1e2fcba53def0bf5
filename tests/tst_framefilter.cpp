#include "dbc/dbcdatabase.h"
#include "dbc/dbcreader.h"
#include "filter/framefilter.h"
#include "filter/framenumberindex.h"

#include <QtTest>

#include <cstring>

namespace {

struct NamedFrame
{
    char name;
    FrameRecord record;
};

// direction 1 is a write; `ok` false a write the adapter refused.
FrameRecord frame(quint32 id, bool extended, QByteArray data, int dlc, quint8 direction = 0,
                  bool ok = true, quint8 more = 0)
{
    FrameRecord record {};
    record.id = id;
    record.size = quint8(data.size());
    record.dlc = quint8(dlc);
    record.direction = direction;
    std::memcpy(record.data, data.constData(), size_t(data.size()));
    record.flags = quint8((extended ? FrameRecord::Extended : 0)
                          | (ok ? FrameRecord::Success : 0) | more);
    return record;
}

const QVector<NamedFrame> &frames()
{
    static const QVector<NamedFrame> all = {
        { 'a', frame(0x123, false, QByteArray::fromHex("1234448000000001"), 8) },
        { 'b', frame(0x123, true, QByteArray::fromHex("12"), 1) },
        { 'c', frame(0x7E8, false, QByteArray::fromHex("023A44"), 3) },
        { 'd', frame(0x1FF, false, QByteArray(), 8, 0, true, FrameRecord::Remote) },
        // Engine: Speed 1001 * 0.1, Gear 3 "Drive", Temp -16
        { 'e', frame(0x100, false, QByteArray::fromHex("E90303F000000000"), 8) },
        { 'f', frame(0x100, false, QByteArray::fromHex("E903"), 2) },
        { 'g', frame(0x100, false, QByteArray::fromHex("E90303F000000000"), 8, 1, false) },
        { 'h', frame(0x100, false, QByteArray::fromHex("00000000"), 4, 1) },
        { 'i', frame(0, false, QByteArray::fromHex("0000000000000000"), 8, 0, true,
                     FrameRecord::Error) },
        // Body (extended 0x200): Speed 127, Door 1
        { 'j', frame(0x200, true, QByteArray::fromHex("7F010000"), 4) },
        // Mux with selector 1 (A) and 2 (B)
        { 'k', frame(0x300, false, QByteArray::fromHex("0155"), 2) },
        { 'l', frame(0x300, false, QByteArray::fromHex("0255"), 2) },
        { 'm', frame(0x100, false, QByteArray(), 8, 0, true, FrameRecord::Remote) },
    };
    return all;
}

const DbcDatabase &database()
{
    static DbcDatabase db = [] {
        DbcDatabase loaded;
        loaded.add(DbcReader::parse(
            "VERSION \"\"\n\nBU_: ECU\n\n"
            "BO_ 256 Engine: 8 ECU\n"
            " SG_ Speed : 0|16@1+ (0.1,0) [0|6553.5] \"km/h\" ECU\n"
            " SG_ Gear : 16|3@1+ (1,0) [0|7] \"\" ECU\n"
            " SG_ Temp : 24|8@1- (1,0) [-128|127] \"C\" ECU\n\n"
            "BO_ 2147484160 Body: 4 ECU\n"
            " SG_ Speed : 0|8@1+ (1,0) [0|255] \"\" ECU\n"
            " SG_ Door : 8|1@1+ (1,0) [0|1] \"\" ECU\n\n"
            "BO_ 768 Mux: 8 ECU\n"
            " SG_ Sel M : 0|8@1+ (1,0) [0|255] \"\" ECU\n"
            " SG_ A m1 : 8|8@1+ (1,0) [0|255] \"\" ECU\n"
            " SG_ B m2 : 8|8@1+ (1,0) [0|255] \"\" ECU\n\n"
            "VAL_ 256 Gear 0 \"Park\" 1 \"Reverse\" 2 \"Neutral\" 3 \"Drive\" ;\n",
            QStringLiteral("test.dbc")));
        return loaded;
    }();
    return db;
}

// FD frames of identifier 0x400 whose byte i is i, made as the hub's queue makes them:
// 'n' 64 bytes with BRS, 'o' 12 bytes without, 'p' a classic frame of 8.
struct FdFrames
{
    FrameTails tails;
    QVector<NamedFrame> named;
};

const FdFrames &fdFrames()
{
    static const FdFrames all = [] {
        FdFrames made;
        const struct {
            char name;
            int length;
            bool fd;
            bool brs;
        } kinds[] = { { 'n', 64, true, true }, { 'o', 12, true, false },
                      { 'p', 8, false, false } };
        for (const auto &kind : kinds) {
            CanMessage msg;
            msg.id = 0x400;
            msg.dlc = kind.length;
            for (int i = 0; i < kind.length; ++i)
                msg.data.append(char(i));
            msg.fd = kind.fd;
            msg.brs = kind.brs;
            made.named.append({ kind.name, frameRecord(msg, &made.tails) });
        }
        return made;
    }();
    return all;
}

const DbcDatabase &fdDatabase()
{
    static DbcDatabase db = [] {
        DbcDatabase loaded;
        loaded.add(DbcReader::parse(
            "VERSION \"\"\n\nBU_: ECU\n\n"
            "BO_ 1024 Cells: 64 ECU\n"
            " SG_ First : 0|8@1+ (1,0) [0|255] \"\" ECU\n"
            " SG_ Last : 504|8@1+ (1,0) [0|255] \"\" ECU\n",
            QStringLiteral("fd.dbc")));
        return loaded;
    }();
    return db;
}

QString matching(const FrameFilter &filter)
{
    QString names;
    for (const NamedFrame &named : frames()) {
        if (filter.matches(named.record))
            names += QLatin1Char(named.name);
    }
    return names;
}

} // namespace

class tst_FrameFilter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void matches_data();
    void matches();
    void refused_data();
    void refused();
    void fdMatches_data();
    void fdMatches();
    void combined_data();
    void combined();
    void identifierTermPicksOneFormat();
    void numberIndex_data();
    void numberIndex();
};

void tst_FrameFilter::initTestCase()
{
    QCOMPARE(database().messages().size(), 3);
}

void tst_FrameFilter::matches_data()
{
    QTest::addColumn<QString>("expression");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << "  " << "abcdefghijklm";
    QTest::newRow("id ==") << "id == 0x123" << "ab";
    QTest::newRow("standard only") << "id == 0x123 && !ext" << "a";
    QTest::newRow("keywords any case") << "ID == 0X123 AND Ext" << "b";
    QTest::newRow("id != skips error events") << "id != 0x123" << "cdefghjklm";
    QTest::newRow("id <") << "id < 0x200" << "abdefghm";
    QTest::newRow("id >=") << "id >= 0x200" << "cjkl";
    QTest::newRow("set of ranges") << "id in {0x100-0x1FF, 0x7E8}" << "abcdefghm";
    QTest::newRow("overlapping ranges") << "id in {0x300, 0x1F0-0x250, 0x200-0x2FF}" << "djkl";
    QTest::newRow("mask before ==") << "id & 0x700 == 0x700" << "c";
    QTest::newRow("bare hex number") << "0x7E8" << "c";
    QTest::newRow("bare decimal number") << "2024" << "c";
    QTest::newRow("ext") << "ext" << "bj";
    QTest::newRow("rtr") << "rtr" << "dm";
    QTest::newRow("err") << "err" << "i";
    QTest::newRow("tx includes refused") << "tx" << "gh";
    QTest::newRow("rx") << "rx" << "abcdefijklm";
    QTest::newRow("failed") << "failed" << "g";
    QTest::newRow("dlc of remote frames") << "dlc >= 6" << "adegm";
    QTest::newRow("byte") << "data[0] == 0x12" << "ab";
    QTest::newRow("byte past the length") << "data[2] == 0x44" << "ac";
    QTest::newRow("byte beyond any frame") << "data[9] == 0" << "";
    QTest::newRow("byte of remote and error") << "data[0] == 0" << "h";
    QTest::newRow("byte with mask") << "data[3] & 0x80 != 0" << "aeg";
    QTest::newRow("pattern") << "data ~ \"?? 3? 44\"" << "ac";
    QTest::newRow("pattern and dlc") << "data ~ \"?? 3? 44\" && dlc == 8" << "a";
    QTest::newRow("pattern without spaces") << "data ~ \"1234\"" << "a";
    QTest::newRow("pattern low nibble") << "data ~ \"?2\"" << "abcl";
    QTest::newRow("message") << "Engine" << "efghm";
    QTest::newRow("extended message") << "Body" << "j";
    QTest::newRow("signal") << "Engine.Speed > 50" << "ef";
    QTest::newRow("signal near a decimal") << "Engine.Speed == 100.1" << "ef";
    QTest::newRow("bare signal") << "Gear >= 0" << "eh";
    QTest::newRow("description") << "Gear == \"Drive\"" << "e";
    QTest::newRow("not description") << "Gear != \"Drive\"" << "h";
    QTest::newRow("negative value") << "Temp < -10" << "e";
    QTest::newRow("other message's signal") << "Body.Speed == 127" << "j";
    QTest::newRow("multiplexed A") << "Mux.A == 0x55" << "k";
    QTest::newRow("multiplexed B") << "B == 85" << "l";
    QTest::newRow("not binds tightest") << "not ext and rtr" << "dm";
    QTest::newRow("and before or") << "id == 0x7E8 || id == 0x123 && ext" << "bc";
    QTest::newRow("parentheses") << "(id == 0x7E8 || id == 0x123) && ext" << "b";
    QTest::newRow("negated group") << "!(ext || rtr || err) && id < 0x124" << "aefgh";
    QTest::newRow("words") << "tx or err" << "ghi";
    QTest::newRow("full-width forms") << "ｉｄ　＝＝　０ｘ１２３" << "ab";
    QTest::newRow("full-width signal value") << "Engine.Speed ＞ ５０" << "ef";
}

void tst_FrameFilter::matches()
{
    QFETCH(QString, expression);
    QFETCH(QString, expected);
    QString error;
    int position = 0;
    const FrameFilter filter = FrameFilter::compile(expression, &database(), &error, &position);
    QVERIFY2(filter.isValid(), qPrintable(error));
    QCOMPARE(position, -1);
    QCOMPARE(matching(filter), expected);
    // A copy owned elsewhere behaves the same.
    const FrameFilter copy = filter;
    QCOMPARE(matching(copy), expected);
}

void tst_FrameFilter::refused_data()
{
    QTest::addColumn<QString>("expression");
    QTest::addColumn<bool>("withDatabase");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("reason");

    QTest::newRow("missing value") << "id ==" << true << 5 << "整数";
    QTest::newRow("single =") << "id = 0x123" << true << 3 << "无法识别";
    QTest::newRow("missing )") << "(id == 1" << true << 8 << "右括号";
    QTest::newRow("two terms") << "id == 0x123 0x7" << true << 12 << "&&";
    QTest::newRow("identifier too large") << "id == 0x20000000" << true << 6 << "超出";
    QTest::newRow("byte index") << "data[64] == 0" << true << 5 << "超出";
    QTest::newRow("byte value") << "data[0] == 0x100" << true << 11 << "超出";
    QTest::newRow("half byte") << "data ~ \"?? 3\"" << true << 11 << "两位";
    QTest::newRow("not hex") << "data ~ \"?? xg\"" << true << 11 << "十六进制";
    QTest::newRow("empty pattern") << "data ~ \" \"" << true << 7 << "为空";
    QTest::newRow("unterminated") << "data ~ \"12" << true << 7 << "引号";
    QTest::newRow("reversed range") << "id in {0x200-0x100}" << true << 13 << "下限";
    QTest::newRow("open set") << "id in {1, 2" << true << 11 << "}";
    QTest::newRow("ambiguous signal") << "Speed > 1" << true << 0 << "多个报文";
    QTest::newRow("unknown name") << "Nope" << true << 0 << "Nope";
    QTest::newRow("no database") << "id == 1 || Engine" << false << 11 << "未加载DBC";
    QTest::newRow("unknown signal") << "Engine.Nope > 1" << true << 7 << "Nope";
    QTest::newRow("unknown description") << "Gear == \"Sport\"" << true << 8 << "Sport";
    QTest::newRow("ordered description") << "Gear > \"Drive\"" << true << 5 << "==";
    QTest::newRow("signal without comparison") << "Door" << true << 0 << "比较";
    QTest::newRow("message compared") << "Engine == 1" << true << 0 << "Engine";
    QTest::newRow("fraction for identifier") << "id == 1.5" << true << 6 << "整数";
    QTest::newRow("dangling and") << "ext &&" << true << 6 << "不完整";
    QTest::newRow("hex without digits") << "0x" << true << 2 << "十六进制";
    QTest::newRow("letters after number") << "12ab" << true << 2 << "字母";
    QTest::newRow("keyword as term") << "and" << true << 0 << "条件";
    QTest::newRow("data without byte") << "data == 1" << true << 5 << "[";
    // A description is compared as the database writes it, full-width forms and all.
    QTest::newRow("full-width description") << "Gear ＝＝ \"Ｄｒｉｖｅ\"" << true << 8
                                            << "Ｄｒｉｖｅ";
}

void tst_FrameFilter::refused()
{
    QFETCH(QString, expression);
    QFETCH(bool, withDatabase);
    QFETCH(int, position);
    QFETCH(QString, reason);
    QString error;
    int at = -1;
    const DbcDatabase empty;
    const FrameFilter filter = FrameFilter::compile(
        expression, withDatabase ? &database() : &empty, &error, &at);
    QVERIFY(!filter.isValid());
    QCOMPARE(at, position);
    QVERIFY2(error.contains(reason), qPrintable(error));
    QCOMPARE(matching(filter), QString());
}

void tst_FrameFilter::fdMatches_data()
{
    QTest::addColumn<QString>("expression");
    QTest::addColumn<QString>("expected");
    // Without the store of the bytes beyond the eighth, an FD frame shows its first eight.
    QTest::addColumn<QString>("withoutTails");

    QTest::newRow("fd") << "fd" << "no" << "no";
    QTest::newRow("brs") << "brs" << "n" << "n";
    QTest::newRow("fd without brs") << "FD && !BRS" << "o" << "o";
    QTest::newRow("classic") << "!fd" << "p" << "p";
    QTest::newRow("length of 64") << "dlc == 64" << "n" << "n";
    QTest::newRow("last of 64 bytes") << "data[63] == 0x3F" << "n" << "";
    QTest::newRow("ninth byte") << "data[8] == 8" << "no" << "";
    QTest::newRow("past twelve bytes") << "data[12] == 12" << "n" << "";
    QTest::newRow("eighth byte") << "data[7] == 7" << "nop" << "nop";
    QTest::newRow("pattern over both parts")
        << "data ~ \"?? ?? ?? ?? ?? ?? ?6 07 08 09 0a 0b\"" << "no" << "";
    QTest::newRow("pattern longer than 12")
        << "data ~ \"00 01 02 03 04 05 06 07 08 09 0a 0b 0c\"" << "n" << "";
    QTest::newRow("signal in byte 63") << "Cells.Last == 63" << "n" << "";
    QTest::newRow("signal in byte 0") << "First == 0" << "nop" << "nop";
}

void tst_FrameFilter::fdMatches()
{
    QFETCH(QString, expression);
    QFETCH(QString, expected);
    QFETCH(QString, withoutTails);
    QString error;
    const FrameFilter filter = FrameFilter::compile(expression, &fdDatabase(), &error);
    QVERIFY2(filter.isValid(), qPrintable(error));
    QString kept;
    QString bare;
    for (const NamedFrame &named : fdFrames().named) {
        if (filter.matches(named.record, &fdFrames().tails))
            kept += QLatin1Char(named.name);
        if (filter.matches(named.record))
            bare += QLatin1Char(named.name);
    }
    QCOMPARE(kept, expected);
    QCOMPARE(bare, withoutTails);
}

// both() and narrowed() must keep every term's meaning, whatever terms either side holds.
void tst_FrameFilter::combined_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");

    QTest::newRow("sets and patterns") << "id in {0x7E8} || data ~ \"12\""
                                       << "id in {0x100-0x123} && data ~ \"?? 3?\"";
    QTest::newRow("signals") << "Engine.Speed > 50 || Body.Speed > 0"
                             << "Gear == \"Drive\" || Mux.A == 0x55 || ext";
    QTest::newRow("alternatives") << "tx or rtr" << "!(id == 0x100 && !ext)";
    QTest::newRow("parenthesised") << "(tx || rtr) && dlc == 8" << "!rtr";
    QTest::newRow("everything") << "" << "ext";
}

void tst_FrameFilter::combined()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    const FrameFilter a = FrameFilter::compile(first, &database());
    const FrameFilter b = FrameFilter::compile(second, &database());
    QVERIFY(a.isValid() && b.isValid());
    QString expected;
    for (const NamedFrame &named : frames()) {
        if (a.matches(named.record) && b.matches(named.record))
            expected += QLatin1Char(named.name);
    }
    QCOMPARE(matching(FrameFilter::both(a, b)), expected);
    const QString text = FrameFilter::narrowed(first, second);
    const FrameFilter narrowed = FrameFilter::compile(text, &database());
    QVERIFY2(narrowed.isValid(), qPrintable(text));
    QCOMPARE(matching(narrowed), expected);
}

void tst_FrameFilter::identifierTermPicksOneFormat()
{
    for (const NamedFrame &named : frames()) {
        const FrameRecord &record = named.record;
        if (record.flags & FrameRecord::Error)
            continue;
        const bool extended = record.flags & FrameRecord::Extended;
        const FrameFilter only = FrameFilter::compile(
            FrameFilter::identifierTerm(record.id, extended), nullptr);
        for (const NamedFrame &other : frames()) {
            const bool same = !(other.record.flags & FrameRecord::Error)
                && other.record.id == record.id
                && bool(other.record.flags & FrameRecord::Extended) == extended;
            QCOMPARE(only.matches(other.record), same);
        }
    }
}

// The index of kept frame numbers against a plain list: appends across chunks, drops from
// the front, and numbers past four billion that move the index to a new base.
void tst_FrameFilter::numberIndex_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("step");
    QTest::addColumn<int>("count");
    QTest::addColumn<qint64>("dropBelow");
    QTest::addColumn<qint64>("thenFrom");

    QTest::newRow("one chunk") << qint64(5) << qint64(3) << 100 << qint64(50) << qint64(400);
    QTest::newRow("across chunks") << qint64(0) << qint64(1) << 40000 << qint64(20000)
                                   << qint64(40000);
    QTest::newRow("all dropped") << qint64(10) << qint64(2) << 20000 << qint64(1000000)
                                 << qint64(2000000);
    QTest::newRow("past four billion") << qint64(0) << qint64(100000) << 30000
                                       << qint64(2900000000) << qint64(4294967296 + 7);
}

void tst_FrameFilter::numberIndex()
{
    QFETCH(qint64, first);
    QFETCH(qint64, step);
    QFETCH(int, count);
    QFETCH(qint64, dropBelow);
    QFETCH(qint64, thenFrom);

    FrameNumberIndex index;
    QList<qint64> plain;
    for (int i = 0; i < count; ++i) {
        index.append(first + i * step);
        plain << first + i * step;
    }
    int gone = 0;
    while (gone < plain.size() && plain.at(gone) < dropBelow)
        ++gone;
    QCOMPARE(index.dropBefore(dropBelow), gone);
    plain = plain.mid(gone);
    for (int i = 0; i < 20000; ++i) {
        index.append(thenFrom + i);
        plain << thenFrom + i;
    }
    QCOMPARE(index.size(), plain.size());
    for (int i = 0; i < plain.size(); i += 97)
        QCOMPARE(index.at(i), plain.at(i));
    QCOMPARE(index.last(), plain.last());
    QCOMPARE(index.lowerBound(thenFrom), plain.indexOf(thenFrom));
    QCOMPARE(index.lowerBound(plain.last() + 1), plain.size());
}

QTEST_GUILESS_MAIN(tst_FrameFilter)
#include "tst_framefilter.moc"

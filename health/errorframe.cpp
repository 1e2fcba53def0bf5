#include "health/errorframe.h"

#include <QStringList>

#include <linux/can/error.h>

#include <iterator>

namespace {

struct BitText
{
    quint8 bit;
    const char *text;
};

quint8 byteAt(const QByteArray &data, int index)
{
    return index < data.size() ? quint8(data.at(index)) : 0;
}

QStringList bitTexts(quint8 value, const BitText *table, size_t count)
{
    QStringList texts;
    for (size_t i = 0; i < count; ++i) {
        if (value & table[i].bit)
            texts << QString::fromUtf8(table[i].text);
    }
    return texts;
}

QString controllerText(quint8 detail)
{
    // Warning and passive levels come per direction; the two directions of one level share
    // one text so that a controller past both limits reads as one condition.
    QStringList texts;
    if (detail & CAN_ERR_CRTL_RX_OVERFLOW)
        texts << QStringLiteral("控制器接收溢出");
    if (detail & CAN_ERR_CRTL_TX_OVERFLOW)
        texts << QStringLiteral("控制器发送溢出");
    const auto level = [&](quint8 rx, quint8 tx, const QString &name) {
        QStringList sides;
        if (detail & rx)
            sides << QStringLiteral("接收");
        if (detail & tx)
            sides << QStringLiteral("发送");
        if (!sides.isEmpty())
            texts << QStringLiteral("%1(%2)").arg(name, sides.join(QLatin1Char('/')));
    };
    level(CAN_ERR_CRTL_RX_WARNING, CAN_ERR_CRTL_TX_WARNING, QStringLiteral("错误警告"));
    level(CAN_ERR_CRTL_RX_PASSIVE, CAN_ERR_CRTL_TX_PASSIVE, QStringLiteral("错误被动"));
    if (detail & CAN_ERR_CRTL_ACTIVE)
        texts << QStringLiteral("恢复主动错误");
    if (texts.isEmpty())
        texts << QStringLiteral("控制器错误");
    return texts.join(QStringLiteral("，"));
}

QString locationText(quint8 location)
{
    switch (location) {
    case CAN_ERR_PROT_LOC_SOF: return QStringLiteral("帧起始");
    case CAN_ERR_PROT_LOC_ID28_21:
    case CAN_ERR_PROT_LOC_ID20_18:
    case CAN_ERR_PROT_LOC_ID17_13:
    case CAN_ERR_PROT_LOC_ID12_05:
    case CAN_ERR_PROT_LOC_ID04_00: return QStringLiteral("标识符");
    case CAN_ERR_PROT_LOC_SRTR:
    case CAN_ERR_PROT_LOC_RTR: return QStringLiteral("RTR位");
    case CAN_ERR_PROT_LOC_IDE: return QStringLiteral("IDE位");
    case CAN_ERR_PROT_LOC_RES1:
    case CAN_ERR_PROT_LOC_RES0: return QStringLiteral("保留位");
    case CAN_ERR_PROT_LOC_DLC: return QStringLiteral("DLC");
    case CAN_ERR_PROT_LOC_DATA: return QStringLiteral("数据段");
    case CAN_ERR_PROT_LOC_CRC_SEQ: return QStringLiteral("CRC序列");
    case CAN_ERR_PROT_LOC_CRC_DEL: return QStringLiteral("CRC界定符");
    case CAN_ERR_PROT_LOC_ACK: return QStringLiteral("ACK槽");
    case CAN_ERR_PROT_LOC_ACK_DEL: return QStringLiteral("ACK界定符");
    case CAN_ERR_PROT_LOC_EOF: return QStringLiteral("帧结束");
    case CAN_ERR_PROT_LOC_INTERM: return QStringLiteral("帧间隔");
    default: return QString();
    }
}

QString protocolText(quint8 type, quint8 location)
{
    static const BitText types[] = {
        { CAN_ERR_PROT_BIT, "位错误" },
        { CAN_ERR_PROT_FORM, "格式错误" },
        { CAN_ERR_PROT_STUFF, "填充错误" },
        { CAN_ERR_PROT_BIT0, "显性位错误" },
        { CAN_ERR_PROT_BIT1, "隐性位错误" },
        { CAN_ERR_PROT_OVERLOAD, "总线过载" },
        { CAN_ERR_PROT_ACTIVE, "主动错误标志" },
    };
    QStringList texts = bitTexts(type, types, std::size(types));
    // Controllers report a CRC mismatch as a protocol violation of no particular type in
    // the CRC field; the other types name their own fault.
    const bool inCrc = location == CAN_ERR_PROT_LOC_CRC_SEQ
        || location == CAN_ERR_PROT_LOC_CRC_DEL;
    if (inCrc && texts.isEmpty())
        texts << QStringLiteral("CRC错误");
    if (texts.isEmpty())
        texts << QStringLiteral("协议错误");

    QStringList details;
    if (type & CAN_ERR_PROT_TX)
        details << QStringLiteral("发送时");
    const QString where = locationText(location);
    if (!where.isEmpty())
        details << QStringLiteral("位置:%1").arg(where);
    QString text = texts.join(QStringLiteral("，"));
    if (!details.isEmpty())
        text += QStringLiteral("(%1)").arg(details.join(QStringLiteral("，")));
    return text;
}

QString transceiverText(quint8 detail)
{
    QString wire;
    switch (detail & 0x0F) {
    case CAN_ERR_TRX_CANH_NO_WIRE: wire = QStringLiteral("CANH断线"); break;
    case CAN_ERR_TRX_CANH_SHORT_TO_BAT: wire = QStringLiteral("CANH对电池短路"); break;
    case CAN_ERR_TRX_CANH_SHORT_TO_VCC: wire = QStringLiteral("CANH对VCC短路"); break;
    case CAN_ERR_TRX_CANH_SHORT_TO_GND: wire = QStringLiteral("CANH对地短路"); break;
    default: break;
    }
    QString low;
    switch (detail & 0xF0) {
    case CAN_ERR_TRX_CANL_NO_WIRE: low = QStringLiteral("CANL断线"); break;
    case CAN_ERR_TRX_CANL_SHORT_TO_BAT: low = QStringLiteral("CANL对电池短路"); break;
    case CAN_ERR_TRX_CANL_SHORT_TO_VCC: low = QStringLiteral("CANL对VCC短路"); break;
    case CAN_ERR_TRX_CANL_SHORT_TO_GND: low = QStringLiteral("CANL对地短路"); break;
    case CAN_ERR_TRX_CANL_SHORT_TO_CANH: low = QStringLiteral("CANL与CANH短路"); break;
    default: break;
    }
    QStringList details;
    if (!wire.isEmpty())
        details << wire;
    if (!low.isEmpty())
        details << low;
    if (details.isEmpty())
        return QStringLiteral("收发器错误");
    return QStringLiteral("收发器错误(%1)").arg(details.join(QStringLiteral("，")));
}

} // namespace

QString errorEventText(quint32 errorClass, const QByteArray &data)
{
    QStringList parts;
    if (errorClass & CAN_ERR_TX_TIMEOUT)
        parts << QStringLiteral("发送超时");
    if (errorClass & CAN_ERR_LOSTARB) {
        const quint8 bit = byteAt(data, 0);
        parts << (bit == CAN_ERR_LOSTARB_UNSPEC ? QStringLiteral("仲裁丢失")
                                                : QStringLiteral("仲裁丢失(第%1位)").arg(bit));
    }
    if (errorClass & CAN_ERR_CRTL)
        parts << controllerText(byteAt(data, 1));
    if (errorClass & CAN_ERR_BUSERROR)
        parts << QStringLiteral("总线错误");
    if (errorClass & CAN_ERR_PROT)
        parts << protocolText(byteAt(data, 2), byteAt(data, 3));
    if (errorClass & CAN_ERR_TRX)
        parts << transceiverText(byteAt(data, 4));
    if (errorClass & CAN_ERR_ACK)
        parts << QStringLiteral("ACK错误");
    if (errorClass & CAN_ERR_BUSOFF)
        parts << QStringLiteral("总线关闭");
    if (errorClass & CAN_ERR_RESTARTED)
        parts << QStringLiteral("重启完成");
    if (errorClass & CAN_ERR_CNT) {
        parts << QStringLiteral("TEC:%1 REC:%2").arg(byteAt(data, 6)).arg(byteAt(data, 7));
    }
    if (parts.isEmpty())
        parts << QStringLiteral("未知错误(0x%1)").arg(errorClass, 0, 16);
    return parts.join(QStringLiteral("，"));
}

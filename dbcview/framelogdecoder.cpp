#include "dbcview/framelogdecoder.h"

#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"
#include "monitor/framelog.h"
#include "monitor/framelogmodel.h"

namespace {

// Beyond this the cell is wider than any window; the tooltip has the rest.
constexpr int summaryCharacters = 240;

QString idText(const DbcMessage &message)
{
    return QString::number(message.id, 16).toUpper().rightJustified(message.extended ? 8 : 3,
                                                                    QLatin1Char('0'));
}

int decode(const DbcMessage &message, const QByteArray &data, QVector<DbcDecodedSignal> *out)
{
    return DbcCodec::decode(message, reinterpret_cast<const uint8_t *>(data.constData()),
                            data.size(), out);
}

} // namespace

QString decodedFrameSummary(const DbcMessage &message, const QByteArray &data)
{
    QVector<DbcDecodedSignal> values;
    const int count = decode(message, data, &values);
    QString text = message.name;
    text += QLatin1Char(':');
    for (int i = 0; i < count; ++i) {
        if (text.size() > summaryCharacters) {
            text += QStringLiteral(" …");
            break;
        }
        const DbcSignal &signal = message.signalList.at(values.at(i).index);
        text += i == 0 ? QStringLiteral(" ") : QStringLiteral(", ");
        text += signal.name;
        text += QLatin1Char('=');
        text += DbcCodec::formatValue(signal, values.at(i));
    }
    return text;
}

QString decodedFrameDetails(const DbcMessage &message, const QByteArray &data)
{
    QVector<DbcDecodedSignal> values;
    const int count = decode(message, data, &values);
    QStringList lines;
    lines << QStringLiteral("%1 (0x%2)").arg(message.name, idText(message));
    if (data.size() < message.length) {
        lines << QStringLiteral("帧只有 %1 字节，报文定义为 %2 字节")
                     .arg(data.size()).arg(message.length);
    }
    for (int i = 0; i < count; ++i) {
        const DbcDecodedSignal &value = values.at(i);
        const DbcSignal &signal = message.signalList.at(value.index);
        QString line = signal.name + QStringLiteral(" = ")
            + QString::number(value.physical, 'g', 10);
        if (!signal.unit.isEmpty())
            line += QLatin1Char(' ') + signal.unit;
        const QString description = DbcCodec::valueDescription(signal, value.rawInteger);
        if (!description.isEmpty())
            line += QStringLiteral("（%1）").arg(description);
        if (value.outOfRange)
            line += QStringLiteral("  超限 [%1, %2]").arg(signal.minimum).arg(signal.maximum);
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

FrameLogDecoder::FrameLogDecoder(FrameLogModel *frameLog, QObject *parent)
    : QIdentityProxyModel(parent)
    , frameLog(frameLog)
{
    setSourceModel(frameLog);
}

int FrameLogDecoder::decodedColumn() const
{
    return columnHeaders.size();
}

void FrameLogDecoder::setDatabase(const DbcDatabase *newDatabase)
{
    database = newDatabase;
    const bool present = database && !database->isEmpty();
    const int column = decodedColumn();
    if (present && !columnPresent) {
        beginInsertColumns(QModelIndex(), column, column);
        columnPresent = true;
        endInsertColumns();
    } else if (!present && columnPresent) {
        beginRemoveColumns(QModelIndex(), column, column);
        columnPresent = false;
        endRemoveColumns();
    } else if (present && rowCount() > 0) {
        emit dataChanged(index(0, column), index(rowCount() - 1, column));
    }
}

int FrameLogDecoder::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : frameLog->rowCount();
}

int FrameLogDecoder::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : decodedColumn() + (columnPresent ? 1 : 0);
}

bool FrameLogDecoder::hasChildren(const QModelIndex &parent) const
{
    return !parent.isValid() && frameLog->rowCount() > 0;
}

QModelIndex FrameLogDecoder::index(int row, int column, const QModelIndex &parent) const
{
    if (column == decodedColumn())
        return hasIndex(row, column, parent) ? createIndex(row, column) : QModelIndex();
    return QIdentityProxyModel::index(row, column, parent);
}

QModelIndex FrameLogDecoder::parent(const QModelIndex &) const
{
    return QModelIndex();
}

QModelIndex FrameLogDecoder::sibling(int row, int column, const QModelIndex &) const
{
    return index(row, column);
}

QModelIndex FrameLogDecoder::mapToSource(const QModelIndex &proxyIndex) const
{
    if (proxyIndex.isValid() && proxyIndex.column() == decodedColumn())
        return QModelIndex();
    return QIdentityProxyModel::mapToSource(proxyIndex);
}

QVariant FrameLogDecoder::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.column() != decodedColumn())
        return QIdentityProxyModel::data(index, role);
    if (role == Qt::BackgroundRole)
        return frameLog->index(index.row(), 0).data(role);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    const CanMessage frame = frameLog->message(index.row());
    // An error event, a refused write and a remote frame carry no signals.
    if (frame.error || !frame.success || frame.remote)
        return QVariant();
    const DbcMessage *message = database->message(frame.id, frame.extended);
    if (!message)
        return QVariant();
    return role == Qt::DisplayRole ? decodedFrameSummary(*message, frame.data)
                                   : decodedFrameDetails(*message, frame.data);
}

QVariant FrameLogDecoder::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section != decodedColumn())
        return QIdentityProxyModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole || role == Qt::EditRole)
        return optionalColumnHeaders.at(0).first;
    if (role == notExportedRole)
        return true;
    return QVariant();
}

Qt::ItemFlags FrameLogDecoder::flags(const QModelIndex &index) const
{
    if (index.isValid() && index.column() == decodedColumn())
        return frameLog->flags(frameLog->index(index.row(), 0));
    return QIdentityProxyModel::flags(index);
}

#include "dbcview/signalcomposerwidget.h"

#include "dbc/dbccodec.h"
#include "dbc/dbcdatabase.h"
#include "input/typednumber.h"

#include <QAbstractListModel>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

QString idText(const DbcMessage &message)
{
    return QString::number(message.id, 16).toUpper().rightJustified(message.extended ? 8 : 3,
                                                                    QLatin1Char('0'));
}

// Names need not be unique across files, so the choice is remembered by identifier.
constexpr int keyRole = Qt::UserRole + 1;

} // namespace

// The database's messages as the message choice lists them, read from the database when
// shown rather than copied into items: a database of 77,000 messages is listed at once.
class DbcMessageList : public QAbstractListModel
{
public:
    using QAbstractListModel::QAbstractListModel;

    void setDatabase(const DbcDatabase *newDatabase)
    {
        beginResetModel();
        database = newDatabase;
        endResetModel();
    }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() || !database ? 0 : database->messages().size();
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= rowCount())
            return QVariant();
        const DbcMessage &message = database->messages().at(index.row());
        switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return QStringLiteral("%1 (0x%2)").arg(message.name, idText(message));
        case Qt::UserRole:
            return message.name;
        case keyRole:
            return qulonglong(dbcMessageKey(message.id, message.extended));
        default:
            return QVariant();
        }
    }

private:
    const DbcDatabase *database = nullptr;
};

namespace {

QTableWidgetItem *readOnlyItem(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

} // namespace

SignalComposerWidget::SignalComposerWidget(QWidget *parent) : QWidget(parent)
{
    m_messages = new QComboBox(this);
    m_messages->setObjectName(QStringLiteral("cbxMessage"));
    // Long message names must not widen whatever holds the widget; the list shows them.
    m_messages->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_messages->setMinimumContentsLength(10);
    m_messageList = new DbcMessageList(this);
    m_messages->setModel(m_messageList);
    m_table = new QTableWidget(0, ColumnCount, this);
    m_table->setObjectName(QStringLiteral("tbSignals"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("信号"), QStringLiteral("物理值"),
                                        QStringLiteral("单位"), QStringLiteral("范围"),
                                        QStringLiteral("原始值")});
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    // A few signals in sight even where the composer shares a pane with other controls.
    m_table->setMinimumHeight(120);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(QStringLiteral("报文："), this));
    layout->addWidget(m_messages);
    layout->addWidget(m_table);

    connect(m_messages, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SignalComposerWidget::messageChosen);
    connect(m_table, &QTableWidget::itemChanged, this, &SignalComposerWidget::valueEdited);
}

void SignalComposerWidget::setPlaceholderText(const QString &text)
{
    m_messages->setPlaceholderText(text);
}

void SignalComposerWidget::setDatabase(const DbcDatabase *database)
{
    const DbcMessage *previous = currentMessage();
    const QVariant chosen = previous
        ? QVariant(qulonglong(dbcMessageKey(previous->id, previous->extended)))
        : QVariant();
    QHash<QString, double> kept;
    if (previous) {
        for (int i = 0; i < previous->signalList.size() && i < m_values.size(); ++i)
            kept.insert(previous->signalList.at(i).name, m_values.at(i));
    }

    m_database = database;
    m_filling = true;
    m_messageList->setDatabase(database);
    const int again = chosen.isValid() ? m_messages->findData(chosen, keyRole) : -1;
    if (again >= 0)
        m_messages->setCurrentIndex(again);
    else if (!m_messages->placeholderText().isEmpty())
        m_messages->setCurrentIndex(-1);
    m_filling = false;
    if (again < 0) {
        kept.clear();
        m_base.clear();
    }
    fillTable(kept);
    compose();
}

bool SignalComposerWidget::selectMessage(const QString &name)
{
    const int index = m_messages->findData(name);
    if (index < 0)
        return false;
    if (index == m_messages->currentIndex())
        messageChosen(index);
    else
        m_messages->setCurrentIndex(index);
    return true;
}

bool SignalComposerWidget::setValue(const QString &signal, double physical)
{
    for (int row = 0; row < m_table->rowCount(); ++row) {
        if (m_table->item(row, NameColumn)->text() == signal) {
            m_table->item(row, ValueColumn)->setText(QString::number(physical, 'g', 17));
            return true;
        }
    }
    return false;
}

void SignalComposerWidget::setPayload(const QByteArray &payload)
{
    const DbcMessage *message = currentMessage();
    if (!message)
        return;
    m_base = payload;
    QVector<DbcDecodedSignal> decoded;
    const int count = DbcCodec::decode(*message, reinterpret_cast<const uint8_t *>(
                                                     payload.constData()),
                                       payload.size(), &decoded);
    m_filling = true;
    for (int i = 0; i < count; ++i) {
        const DbcDecodedSignal &value = decoded.at(i);
        m_values[value.index] = value.physical;
        m_table->item(value.index, ValueColumn)
            ->setText(QString::number(value.physical, 'g', 10));
    }
    m_filling = false;
    m_payload = payload;
    showPayload();
}

void SignalComposerWidget::announce()
{
    if (const DbcMessage *message = currentMessage())
        emit frameComposed(message->id, message->extended, m_payload, message->name,
                           message->fd || message->length > 8);
}

const DbcMessage *SignalComposerWidget::currentMessage() const
{
    if (!m_database || m_messages->currentIndex() < 0)
        return nullptr;
    const qulonglong key = m_messages->currentData(keyRole).toULongLong();
    return m_database->message(uint32_t(key), key >> 32);
}

void SignalComposerWidget::messageChosen(int)
{
    if (m_filling)
        return;
    m_base.clear();
    fillTable({});
    compose();
    announce();
}

void SignalComposerWidget::fillTable(const QHash<QString, double> &kept)
{
    m_filling = true;
    const DbcMessage *message = currentMessage();
    m_table->setRowCount(message ? message->signalList.size() : 0);
    m_values.clear();
    if (message) {
        for (int row = 0; row < message->signalList.size(); ++row) {
            const DbcSignal &signal = message->signalList.at(row);
            // Raw zero is what an untouched payload carries, so it is where typing starts.
            const double start = kept.value(signal.name, signal.offset);
            m_values.append(start);
            m_table->setItem(row, NameColumn, readOnlyItem(signal.name));
            m_table->setItem(row, ValueColumn,
                             new QTableWidgetItem(QString::number(start, 'g', 10)));
            m_table->setItem(row, UnitColumn, readOnlyItem(signal.unit));
            m_table->setItem(row, RangeColumn,
                             readOnlyItem(signal.hasRange()
                                              ? QStringLiteral("%1 … %2")
                                                    .arg(signal.minimum).arg(signal.maximum)
                                              : QString()));
            m_table->setItem(row, RawColumn, readOnlyItem(QString()));
        }
    }
    m_filling = false;
}

void SignalComposerWidget::valueEdited(QTableWidgetItem *item)
{
    if (m_filling || item->column() != ValueColumn || item->row() >= m_values.size())
        return;
    bool ok = false;
    const double value = TypedNumber::asciiForms(item->text()).trimmed().toDouble(&ok);
    if (ok && std::isfinite(value)) {
        m_values[item->row()] = value;
    } else {
        // The cell must not show a text that the payload does not carry.
        m_filling = true;
        item->setText(QString::number(m_values.at(item->row()), 'g', 10));
        m_filling = false;
    }
    compose();
    announce();
}

void SignalComposerWidget::compose()
{
    const DbcMessage *message = currentMessage();
    if (!message) {
        m_payload.clear();
        emit payloadChanged(m_payload);
        return;
    }
    m_payload = QByteArray(message->length, '\0');
    std::copy_n(m_base.constData(), std::min(m_base.size(), m_payload.size()),
                m_payload.data());
    auto *data = reinterpret_cast<uint8_t *>(m_payload.data());
    // Signals of other multiplexer values share bits with the current ones: only the
    // multiplexor's own choice is written.
    int64_t selector = 0;
    if (message->multiplexorIndex >= 0) {
        const DbcSignal &mux = message->signalList.at(message->multiplexorIndex);
        DbcDecodedSignal value;
        DbcCodec::interpret(mux, DbcCodec::physicalToBits(mux, m_values.at(
                                                              message->multiplexorIndex)),
                            &value);
        selector = value.rawInteger;
    }
    for (int i = 0; i < message->signalList.size(); ++i) {
        const DbcSignal &signal = message->signalList.at(i);
        if (signal.multiplex == DbcSignal::Multiplex::Multiplexed
            && signal.multiplexValue != selector)
            continue;
        DbcCodec::insertBits(signal, DbcCodec::physicalToBits(signal, m_values.at(i)), data,
                             m_payload.size());
    }
    showPayload();
}

void SignalComposerWidget::showPayload()
{
    const DbcMessage *message = currentMessage();
    // Show what the payload really carries: values rounded to steps or limited to range.
    QVector<DbcDecodedSignal> decoded;
    const int count = DbcCodec::decode(*message, reinterpret_cast<const uint8_t *>(
                                                     m_payload.constData()),
                                       m_payload.size(), &decoded);
    m_filling = true;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        m_table->item(row, RawColumn)->setText(QString());
        for (QTableWidgetItem *item : {m_table->item(row, NameColumn),
                                       m_table->item(row, ValueColumn)})
            item->setForeground(palette().color(QPalette::Disabled, QPalette::Text));
    }
    for (int i = 0; i < count; ++i) {
        const DbcDecodedSignal &value = decoded.at(i);
        const DbcSignal &signal = message->signalList.at(value.index);
        QString raw = signal.valueType != DbcSignal::ValueType::Integer
            ? QString::number(value.raw, 'g', 9)
            : signal.isSigned ? QString::number(value.rawInteger)
                              : QString::number(qulonglong(value.bits));
        const QString description = DbcCodec::valueDescription(signal, value.rawInteger);
        if (!description.isEmpty())
            raw += QStringLiteral("（%1）").arg(description);
        if (value.physical != m_values.at(value.index))
            raw += QStringLiteral(" → %1").arg(value.physical, 0, 'g', 10);
        m_table->item(value.index, RawColumn)->setText(raw);
        for (QTableWidgetItem *item : {m_table->item(value.index, NameColumn),
                                       m_table->item(value.index, ValueColumn)})
            item->setForeground(palette().color(QPalette::Text));
    }
    m_filling = false;
    emit payloadChanged(m_payload);
}

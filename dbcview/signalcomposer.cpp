#include "signalcomposer.h"

#include "dbccodec.h"
#include "dbcdatabase.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cmath>

namespace {

QString idText(const DbcMessage &message)
{
    return QString::number(message.id, 16).toUpper().rightJustified(message.extended ? 8 : 3,
                                                                    QLatin1Char('0'));
}

QString bytesText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ')).toUpper();
}

} // namespace

SignalComposer::SignalComposer(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("由信号组帧"));
    m_messages = new QComboBox(this);
    m_messages->setObjectName(QStringLiteral("cbxMessage"));
    m_table = new QTableWidget(0, ColumnCount, this);
    m_table->setObjectName(QStringLiteral("tbSignals"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("信号"), QStringLiteral("物理值"),
                                        QStringLiteral("单位"), QStringLiteral("范围"),
                                        QStringLiteral("原始值")});
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_result = new QLabel(this);
    m_result->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("报文："), this));
    layout->addWidget(m_messages);
    layout->addWidget(m_table);
    layout->addWidget(m_result);
    resize(560, 420);

    connect(m_messages, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SignalComposer::messageChosen);
    connect(m_table, &QTableWidget::itemChanged, this, &SignalComposer::valueEdited);
}

void SignalComposer::setDatabase(const DbcDatabase *database)
{
    m_database = database;
    m_filling = true;
    m_messages->clear();
    if (database) {
        for (const DbcMessage &message : database->messages())
            m_messages->addItem(QStringLiteral("%1 (0x%2)").arg(message.name, idText(message)),
                                message.name);
    }
    m_filling = false;
    messageChosen(m_messages->currentIndex());
}

bool SignalComposer::selectMessage(const QString &name)
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

bool SignalComposer::setValue(const QString &signal, double physical)
{
    for (int row = 0; row < m_table->rowCount(); ++row) {
        if (m_table->item(row, NameColumn)->text() == signal) {
            m_table->item(row, ValueColumn)->setText(QString::number(physical, 'g', 17));
            return true;
        }
    }
    return false;
}

const DbcMessage *SignalComposer::currentMessage() const
{
    if (!m_database || m_messages->currentIndex() < 0)
        return nullptr;
    return m_database->messageByName(m_messages->currentData().toString());
}

void SignalComposer::messageChosen(int)
{
    if (m_filling)
        return;
    m_filling = true;
    const DbcMessage *message = currentMessage();
    m_table->setRowCount(message ? message->signalList.size() : 0);
    m_values.clear();
    if (message) {
        for (int row = 0; row < message->signalList.size(); ++row) {
            const DbcSignal &signal = message->signalList.at(row);
            // Raw zero is what an untouched payload carries, so it is where typing starts.
            const double start = signal.offset;
            m_values.append(start);
            auto readOnly = [](const QString &text) {
                auto *item = new QTableWidgetItem(text);
                item->setFlags(item->flags() & ~Qt::ItemIsEditable);
                return item;
            };
            m_table->setItem(row, NameColumn, readOnly(signal.name));
            m_table->setItem(row, ValueColumn, new QTableWidgetItem(QString::number(start)));
            m_table->setItem(row, UnitColumn, readOnly(signal.unit));
            m_table->setItem(row, RangeColumn,
                             readOnly(signal.hasRange()
                                          ? QStringLiteral("%1 … %2")
                                                .arg(signal.minimum).arg(signal.maximum)
                                          : QString()));
            m_table->setItem(row, RawColumn, readOnly(QString()));
        }
    }
    m_filling = false;
    compose();
}

void SignalComposer::valueEdited(QTableWidgetItem *item)
{
    if (m_filling || item->column() != ValueColumn || item->row() >= m_values.size())
        return;
    bool ok = false;
    const double value = item->text().trimmed().toDouble(&ok);
    if (ok && std::isfinite(value))
        m_values[item->row()] = value;
    compose();
}

void SignalComposer::compose()
{
    const DbcMessage *message = currentMessage();
    if (!message) {
        m_payload.clear();
        m_result->clear();
        return;
    }
    m_payload = QByteArray(message->length, '\0');
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

    // Show what the payload really carries: values rounded to steps or limited to range.
    QVector<DbcDecodedSignal> decoded;
    const int count = DbcCodec::decode(*message, data, m_payload.size(), &decoded);
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
        QString raw = signal.valueType == DbcSignal::ValueType::Integer
            ? QString::number(signal.isSigned ? value.rawInteger : qint64(value.bits))
            : QString::number(value.raw, 'g', 9);
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
    m_result->setText(QStringLiteral("0x%1  %2").arg(idText(*message), bytesText(m_payload)));
    emit frameComposed(message->id, message->extended, m_payload, message->name);
}

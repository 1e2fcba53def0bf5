#include "dbcview/signalcomposer.h"

#include "dbc/dbcmessage.h"
#include "dbcview/signalcomposerwidget.h"

#include <QLabel>
#include <QVBoxLayout>

SignalComposer::SignalComposer(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("由信号组帧"));
    m_composer = new SignalComposerWidget(this);
    m_result = new QLabel(this);
    m_result->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_composer);
    layout->addWidget(m_result);
    resize(560, 420);

    connect(m_composer, &SignalComposerWidget::frameComposed, this,
            &SignalComposer::frameComposed);
    connect(m_composer, &SignalComposerWidget::payloadChanged, this,
            &SignalComposer::showPayload);
}

void SignalComposer::setDatabase(const DbcDatabase *database)
{
    m_composer->setDatabase(database);
    m_composer->announce();
}

bool SignalComposer::selectMessage(const QString &name)
{
    return m_composer->selectMessage(name);
}

bool SignalComposer::setValue(const QString &signal, double physical)
{
    return m_composer->setValue(signal, physical);
}

QByteArray SignalComposer::payload() const
{
    return m_composer->payload();
}

void SignalComposer::showPayload()
{
    const DbcMessage *message = m_composer->currentMessage();
    if (!message) {
        m_result->clear();
        return;
    }
    m_result->setText(QStringLiteral("0x%1  %2")
                          .arg(QString::number(message->id, 16).toUpper().rightJustified(
                                   message->extended ? 8 : 3, QLatin1Char('0')),
                               QString::fromLatin1(payload().toHex(' ')).toUpper()));
}

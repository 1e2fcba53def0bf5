#include "dbcview/composegroup.h"

#include "dbc/dbcdatabase.h"
#include "dbcview/signalcomposerwidget.h"
#include "transmit/datasendwidget.h"

#include <QVBoxLayout>

ComposeGroup::ComposeGroup(DataSendWidget *panel)
    : QGroupBox(QStringLiteral("由信号组帧"), panel)
    , composer(new SignalComposerWidget(this))
{
    setObjectName(QStringLiteral("grpCompose"));
    setCheckable(true);
    setChecked(false);
    composer->setObjectName(QStringLiteral("panelComposer"));
    composer->setPlaceholderText(QStringLiteral("（选择报文）"));
    composer->hide();
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(composer);
    connect(this, &QGroupBox::toggled, composer, &QWidget::setVisible);
    connect(composer, &SignalComposerWidget::frameComposed, panel,
            &DataSendWidget::setEditorFrame);
    // Bytes typed by hand stay what is sent; the table shows what they carry, and values
    // typed afterwards change only their own bits.
    connect(panel, &DataSendWidget::dataEditedByHand, this, [this](const SendFrame &editor) {
        const DbcMessage *message = composer->currentMessage();
        if (!isChecked() || !message)
            return;
        if (editor.id == message->id && editor.extended == message->extended)
            composer->setPayload(editor.data);
    });
    hide();
    panel->addEditorSection(this);
}

void ComposeGroup::setDatabase(const DbcDatabase *database)
{
    composer->setDatabase(database);
    setVisible(database && !database->isEmpty());
}

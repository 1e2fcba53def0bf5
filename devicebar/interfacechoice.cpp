#include "devicebar/interfacechoice.h"

#include "device/adaptercalls.h"
#include "monitor/monitorcontext.h"

#include <QAction>
#include <QComboBox>

#include <iterator>

InterfaceChoice::InterfaceChoice(MonitorContext *context, QWidget *bar)
    : QObject(bar)
    , context(context)
{
    combo = new QComboBox(bar);
    combo->setObjectName(QStringLiteral("cbxInterface"));
    combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(context, &MonitorContext::deviceStateChanged, this, &InterfaceChoice::updateEnabled);

    listenOnly = new QAction(QStringLiteral("只听模式"), this);
    listenOnly->setObjectName(QStringLiteral("actListenOnly"));
    listenOnly->setCheckable(true);
    listenOnly->setToolTip(QStringLiteral("下次打开设备时生效：只接收，不应答也不发送"));
    if (!adapterCalls().setListenOnly) {
        listenOnly->setEnabled(false);
        listenOnly->setToolTip(QStringLiteral("适配器库不支持只听模式"));
    }
    connect(listenOnly, &QAction::toggled, this, [context](bool on) {
        if (context->deviceState() != MonitorContext::DeviceState::Closed) {
            context->showStatus(on ? QStringLiteral("只听模式将在下次打开设备时生效")
                                   : QStringLiteral("正常模式将在下次打开设备时生效"));
        }
    });
    refresh();
}

void InterfaceChoice::chooseFor(ListenThread::OpenOptions *options) const
{
    const QVariant choice = combo->currentData();
    options->chooseInterface = !fromEnvironment && choice.isValid();
    options->interfaceName = choice.toByteArray();
    options->listenOnly = listenOnly->isChecked();
}

void InterfaceChoice::updateEnabled()
{
    combo->setEnabled(context->deviceState() == MonitorContext::DeviceState::Closed
                      && !fromEnvironment);
}

void InterfaceChoice::refresh()
{
    const QVariant previous = combo->currentData();
    combo->clear();
    combo->setToolTip(QString());

    // The library opens what the environment names whatever the window chooses, so the
    // combo box says so instead of offering a choice that would not be honoured.
    const QByteArray environment = qgetenv("CANABLE_INTERFACE");
    fromEnvironment = !environment.isEmpty();
    if (fromEnvironment) {
        const QString name = environment == "sim" ? QStringLiteral("模拟总线")
                                                  : QString::fromLocal8Bit(environment);
        combo->addItem(QStringLiteral("%1 (CANABLE_INTERFACE)").arg(name));
        combo->setToolTip(
            QStringLiteral("接口由环境变量 CANABLE_INTERFACE 指定；清除该变量后可在此选择"));
        updateEnabled();
        return;
    }

    const AdapterCalls &calls = adapterCalls();
    if (!calls.selectInterface) {
        combo->addItem(QStringLiteral("默认接口"));
        combo->setToolTip(QStringLiteral("适配器库不支持选择接口"));
        updateEnabled();
        return;
    }

    bool listed = false;
    if (calls.listInterfaces) {
        CanInterfaceInfo list[64];
        const int count = calls.listInterfaces(list, int(std::size(list)));
        listed = count >= 0;
        for (int i = 0; i < qMin(count, int(std::size(list))); ++i) {
            const CanInterfaceInfo &info = list[i];
            const QByteArray name(info.name, int(qstrnlen(info.name, sizeof info.name)));
            QStringList facts;
            facts << (info.up ? QStringLiteral("已启动") : QStringLiteral("未启动"));
            if (info.virtualBus)
                facts << QStringLiteral("虚拟");
            else if (info.bitrate > 0 && info.bitrate % 1000 == 0)
                facts << QStringLiteral("%1k").arg(info.bitrate / 1000);
            else if (info.bitrate > 0)
                facts << QStringLiteral("%1 bit/s").arg(info.bitrate);
            const QString text = QStringLiteral("%1 (%2)").arg(
                QString::fromLocal8Bit(name), facts.join(QStringLiteral(", ")));
            combo->addItem(text, name);
        }
    }
    if (!listed)
        combo->addItem(QStringLiteral("默认接口"), QByteArray());
    combo->addItem(QStringLiteral("模拟总线"), QByteArray("sim"));

    const int kept = previous.isValid() ? combo->findData(previous) : -1;
    combo->setCurrentIndex(kept >= 0 ? kept : 0);
    updateEnabled();
}

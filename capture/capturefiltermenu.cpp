#include "capture/capturefiltermenu.h"

#include "device/capturefilter.h"
#include "device/listenthread.h"
#include "input/refusedfield.h"
#include "monitor/monitorcontext.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

QString refusal(const QString &why, int position)
{
    return QStringLiteral("接收过滤错误：%1（位置 %2）").arg(why).arg(position);
}

} // namespace

CaptureFilterDialog::CaptureFilterDialog(const QString &text, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("captureFilterDialog"));
    setWindowTitle(QStringLiteral("接收过滤"));
    auto layout = new QVBoxLayout(this);
    auto help = new QLabel(QStringLiteral(
            "只接收通过过滤的帧，其余的帧不计数、不显示、不录制；错误帧总是接收。\n"
            "ID:掩码 —— ID 与掩码按位与的结果相同时通过；ID~掩码 —— 不同时通过。\n"
            "十六进制；写满 8 位的 ID 为扩展帧；多项用逗号分隔，通过任一项即接收；"
            "留空则接收全部。"), this);
    help->setWordWrap(true);
    layout->addWidget(help);
    field = new QLineEdit(text, this);
    field->setObjectName(QStringLiteral("txtCaptureFilter"));
    field->setPlaceholderText(QStringLiteral("例如 123:7FF, 18FEF100:1FFFFFFF, 400~700"));
    field->setMinimumWidth(field->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 50);
    layout->addWidget(field);
    errorLabel = new QLabel(this);
    errorLabel->setObjectName(QStringLiteral("lblCaptureFilterError"));
    errorLabel->setStyleSheet(QStringLiteral("color: rgb(200,0,0);"));
    errorLabel->hide();
    layout->addWidget(errorLabel);
    auto buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CaptureFilterDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CaptureFilterDialog::reject);
    connect(field, &QLineEdit::textChanged, this, [this] {
        markRefused(field, false);
        errorLabel->hide();
    });
}

QString CaptureFilterDialog::text() const
{
    return field->text();
}

void CaptureFilterDialog::accept()
{
    CaptureFilter filter;
    QString why;
    int position = 0;
    if (!CaptureFilter::parse(field->text(), &filter, &why, &position)) {
        markRefused(field, true);
        errorLabel->setText(refusal(why, position));
        errorLabel->show();
        field->setFocus();
        field->setCursorPosition(position);
        return;
    }
    QDialog::accept();
}

CaptureFilterMenu::CaptureFilterMenu(MonitorContext *context, QWidget *window)
    : QObject(window)
    , context(context)
    , window(window)
{
    action = new QAction(QStringLiteral("接收过滤…"), this);
    action->setObjectName(QStringLiteral("actionCaptureFilter"));
    action->setToolTip(QStringLiteral("按 ID 和掩码过滤接收的帧"));
    connect(action, &QAction::triggered, this, &CaptureFilterMenu::choose);
    stateLabel = new QLabel(QStringLiteral("接收过滤中"), window);
    stateLabel->setObjectName(QStringLiteral("lblCaptureFilter"));
    showState();
}

bool CaptureFilterMenu::apply(const QString &text, QString *error)
{
    CaptureFilter filter;
    QString why;
    int position = 0;
    if (!CaptureFilter::parse(text, &filter, &why, &position)) {
        if (error)
            *error = refusal(why, position);
        return false;
    }
    ListenThread::instance()->setCaptureFilter(filter);
    showState();
    return true;
}

void CaptureFilterMenu::choose()
{
    CaptureFilterDialog dialog(ListenThread::instance()->captureFilter().text, window);
    if (dialog.exec() != QDialog::Accepted)
        return;
    QString error;
    if (!apply(dialog.text(), &error)) {
        context->showStatus(error);
        return;
    }
    const CaptureFilter filter = ListenThread::instance()->captureFilter();
    context->showStatus(filter.isSet() ? QStringLiteral("接收过滤：%1").arg(filter.text)
                                       : QStringLiteral("已取消接收过滤"));
}

void CaptureFilterMenu::showState()
{
    const CaptureFilter filter = ListenThread::instance()->captureFilter();
    stateLabel->setVisible(filter.isSet());
    stateLabel->setToolTip(filter.text);
}

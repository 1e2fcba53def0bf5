#include "idview/idviewpanel.h"

#include "idview/idbytedelegate.h"
#include "idview/idstatsexport.h"
#include "idview/idviewmodel.h"
#include "monitor/monitorcontext.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QTreeView>

IdViewPanel::IdViewPanel(MonitorContext *context, QWidget *place)
    : QObject(place)
    , context(context)
{
    model = new IdViewModel(this);
    model->setDatabase(&context->database());
    connect(context, &MonitorContext::databaseChanged, this, [this] {
        model->setDatabase(&this->context->database());
        // Names and signals widen the columns they fill.
        sized = false;
    });
    connect(context, &MonitorContext::framesArrived, this, &IdViewPanel::addFrames);
    connect(context, &MonitorContext::framesCleared, this, &IdViewPanel::clear);

    // A tree, so that a row of a known message opens onto its signals.
    tree = new QTreeView(place);
    tree->setObjectName(QStringLiteral("tbIdView"));
    tree->setModel(model);
    tree->setItemDelegateForColumn(IdViewModel::DataColumn, new IdByteDelegate(tree));
    tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tree->setSelectionMode(QAbstractItemView::SingleSelection);
    tree->setSelectionBehavior(QAbstractItemView::SelectRows);
    // The frame log's sheet without its colour for every item, which would win over the
    // grey of silent rows.
    tree->setStyleSheet(QStringLiteral(
        "QTreeView::item:pressed, QTreeView::item:selected {"
        " background: rgb(0, 0, 255); color: rgb(255, 255, 255); }"));
    // One height for all rows spares the tree measuring each of 100,000 of them.
    tree->setUniformRowHeights(true);
    tree->setAllColumnsShowFocus(true);
    tree->header()->setSortIndicator(IdViewModel::IdColumn, Qt::AscendingOrder);
    tree->header()->setStretchLastSection(false);
    tree->setSortingEnabled(true);
    // Wide enough for the header and a typical cell; measuring the rows themselves would
    // cost the whole table at every change.
    const QString samples[IdViewModel::ColumnCount] = {
        QStringLiteral("0x18ffffff"), QStringLiteral("接收"), QStringLiteral("数据帧"),
        QStringLiteral("标准帧"),     QStringLiteral("0x08"),
        QStringLiteral("ff ff ff ff ff ff ff ff"), QStringLiteral("9999999"),
        QStringLiteral("1000.000"), QStringLiteral("1000.000"), QStringLiteral("1000.000"),
        QStringLiteral("1000.000"), QStringLiteral("1000.000"), QStringLiteral("10000"),
        QStringLiteral("EngineTemperature"), QStringLiteral("16383.75 rpm"),
        QStringLiteral("Running"), QStringLiteral("65535"), QStringLiteral("超限 [0, 100]"),
    };
    // The application's style sheet sets the fonts when the widgets are polished.
    tree->ensurePolished();
    tree->header()->ensurePolished();
    const QFontMetrics cellFont(tree->font());
    const QFontMetrics headerFont(tree->header()->font());
    for (int column = 0; column < IdViewModel::ColumnCount; ++column) {
        const QString header = model->headerData(column, Qt::Horizontal).toString();
        tree->setColumnWidth(column, 18 + qMax(headerFont.horizontalAdvance(header),
                                               cellFont.horizontalAdvance(samples[column])));
    }
    // Signal names sit indented under the identifiers and may be longer; the columns only
    // grow, so that opening rows one after the other does not make them jump.
    connect(tree, &QTreeView::expanded, this, [this] {
        for (int column : { int(IdViewModel::IdColumn), int(IdViewModel::ValueColumn),
                            int(IdViewModel::DescriptionColumn), int(IdViewModel::RawColumn),
                            int(IdViewModel::RangeColumn) }) {
            const int width = tree->columnWidth(column);
            tree->resizeColumnToContents(column);
            tree->setColumnWidth(column, qMax(width, tree->columnWidth(column)));
        }
    });
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree, &QWidget::customContextMenuRequested, this, &IdViewPanel::showRowMenu);
    tree->hide();

    byId = new QAction(QStringLiteral("按ID显示"), this);
    byId->setObjectName(QStringLiteral("actionIdView"));
    byId->setCheckable(true);
    connect(byId, &QAction::toggled, this, &IdViewPanel::show);
    exportAction = new QAction(QStringLiteral("导出统计…"), this);
    exportAction->setObjectName(QStringLiteral("actionExportIdStatistics"));
    connect(exportAction, &QAction::triggered, this, &IdViewPanel::exportStatistics);
}

bool IdViewPanel::currentIdentifier(quint32 *id, bool *extended) const
{
    QModelIndex current = tree->currentIndex();
    if (!current.isValid())
        return false;
    while (current.parent().isValid())
        current = current.parent();
    const IdRow &row = model->statistics().row(model->statisticsRow(current.row()));
    *id = row.id;
    *extended = row.extended;
    return true;
}

void IdViewPanel::show(bool show)
{
    emit shown(show);
    tree->setVisible(show);
    sized = false;
}

void IdViewPanel::addFrames(const QList<CanMessage> &frames)
{
    // Every tick, with or without frames: rows fade and fall silent as time passes.
    model->update(frames);
    if (!sized && tree->isVisible() && model->rowCount() > 0)
        sizeColumns();
    const qint64 refused = model->statistics().refusedFrames();
    if (refused > reportedRefusedFrames) {
        reportedRefusedFrames = refused;
        context->showStatus(QStringLiteral("按ID显示已满%1行,新ID的%2帧未列入")
                                .arg(model->statistics().maxRows())
                                .arg(refused));
    }
}

void IdViewPanel::showRowMenu(const QPoint &at)
{
    const QModelIndex index = tree->indexAt(at);
    if (!index.isValid())
        return;
    tree->setCurrentIndex(index);
    QMenu menu;
    menu.addActions(rowActions);
    const QString path = model->signalPath(index);
    if (!path.isEmpty()) {
        if (!rowActions.isEmpty())
            menu.addSeparator();
        QAction *plot = menu.addAction(QStringLiteral("绘制曲线"));
        plot->setObjectName(QStringLiteral("actionPlotSignal"));
        connect(plot, &QAction::triggered, this, [this, path] { context->plotSignal(path); });
    }
    if (!menu.isEmpty())
        menu.exec(tree->viewport()->mapToGlobal(at));
}

void IdViewPanel::sizeColumns()
{
    // Sizes follow the rows in sight only, so this costs little even at 100,000 rows.
    for (int column = 0; column < IdViewModel::ColumnCount; ++column)
        tree->resizeColumnToContents(column);
    // The data cell's hint falls short of the styled text by a few characters.
    const int data = IdViewModel::DataColumn;
    tree->setColumnWidth(data, tree->columnWidth(data)
                                   + tree->fontMetrics().horizontalAdvance("ff ff"));
    sized = true;
}

void IdViewPanel::clear()
{
    model->clear();
    reportedRefusedFrames = 0;
}

void IdViewPanel::exportStatistics()
{
    QWidget *window = tree->window();
    const QString path = QFileDialog::getSaveFileName(
        window, QStringLiteral("导出统计"), QDir::currentPath() + QStringLiteral("/IdStatistics"),
        QStringLiteral("csv File(*.csv)"));
    if (path.isEmpty())
        return;
    QString error;
    if (exportIdStatistics(*model, path, &error))
        context->showStatus(QStringLiteral("已导出%1行统计到%2").arg(model->rowCount()).arg(path));
    else
        context->showStatus(QStringLiteral("导出统计失败:%1:%2").arg(path, error));
}

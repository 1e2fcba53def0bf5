#include "filter/framelogfilter.h"

#include "filter/framefiltermodel.h"
#include "filter/framematches.h"
#include "filter/framescan.h"
#include "input/refusedfield.h"
#include "input/typednumber.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QTableView>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// Work that ends sooner shows no progress line.
constexpr int progressDelayMs = 100;

FrameScan::Test testOf(const FrameFilter &filter)
{
    return [filter](const FrameRecord &record, const FrameTails *tails) {
        return filter.matches(record, tails);
    };
}

QString refusal(const QString &what, const QString &error, int position)
{
    return QStringLiteral("%1：%2（位置 %3）").arg(what, error).arg(position);
}

} // namespace

FrameLogFilter::FrameLogFilter(FrameLogModel *log, QAbstractItemModel *shown,
                               QTableView *table, const DbcDatabase *database,
                               QWidget *parent)
    : QObject(parent)
    , log(log)
    , table(table)
    , database(database)
    , filterModel(new FrameFilterModel(log, shown, this))
    , txtFilter(new QLineEdit(parent))
    , searchMatches(new FrameMatches(log, this))
{
    txtFilter->setObjectName(QStringLiteral("txtFilter"));
    txtFilter->setPlaceholderText(QStringLiteral("筛选，如 id == 0x123 && data[0] > 0x80"));
    txtFilter->setToolTip(QStringLiteral("按回车应用筛选；清空后回车显示全部帧"));
    txtFilter->setMinimumWidth(txtFilter->fontMetrics().horizontalAdvance(
                                   txtFilter->placeholderText()) + 16);
    connect(txtFilter, &QLineEdit::returnPressed, this, [this] { applyText(txtFilter->text()); });
    connect(txtFilter, &QLineEdit::textChanged, this,
            [this] { markRefused(txtFilter, false); });

    connect(filterModel, &FrameFilterModel::applyFinished, this, &FrameLogFilter::applied);
    // The selected frame stays selected when the rows change over to another filter's.
    connect(filterModel, &QAbstractItemModel::modelAboutToBeReset, this,
            [this] { keptNumber = currentNumber(); });
    // Once full, the table moves its rows up in place; the selected frame goes with them.
    connect(filterModel, &FrameFilterModel::rowsShifted, this, [this](int count) {
        QItemSelectionModel *selection = this->table->selectionModel();
        const QModelIndex current = selection->currentIndex();
        if (!current.isValid())
            return;
        if (current.row() < count) {
            selection->clear();
            return;
        }
        const bool selected = selection->isRowSelected(current.row(), QModelIndex());
        selection->setCurrentIndex(current.sibling(current.row() - count, current.column()),
                                   selected ? QItemSelectionModel::ClearAndSelect
                                                      | QItemSelectionModel::Rows
                                            : QItemSelectionModel::NoUpdate);
    });
    connect(searchMatches, &FrameMatches::finished, this, &FrameLogFilter::searchCollected);
    // Numbers start again after a clear: what was found means nothing any more.
    connect(log, &QAbstractItemModel::rowsRemoved, this, [this] {
        if (this->log->rowCount() == 0)
            resetSearch();
    });
    setupBars();
}

FrameLogFilter::~FrameLogFilter() = default;

void FrameLogFilter::setupBars()
{
    barBox = new QWidget(table->parentWidget());
    barBox->setObjectName(QStringLiteral("frameLogBars"));
    auto boxLayout = new QVBoxLayout(barBox);
    boxLayout->setContentsMargins(0, 0, 0, 0);

    searchBar = new QWidget(barBox);
    searchBar->setObjectName(QStringLiteral("searchBar"));
    auto searchLayout = new QHBoxLayout(searchBar);
    searchLayout->setContentsMargins(0, 0, 0, 0);
    searchLayout->addWidget(new QLabel(QStringLiteral("查找"), searchBar));
    txtSearch = new QLineEdit(searchBar);
    txtSearch->setObjectName(QStringLiteral("txtSearch"));
    txtSearch->setPlaceholderText(QStringLiteral("如 id == 0x7E8 || data ~ \"02 ??\""));
    searchLayout->addWidget(txtSearch, 1);
    const auto button = [this](const QString &text, const char *name) {
        auto pushButton = new QPushButton(text, searchBar);
        pushButton->setObjectName(QLatin1String(name));
        pushButton->setAutoDefault(false);
        return pushButton;
    };
    QPushButton *previous = button(QStringLiteral("上一个"), "btnFindPrevious");
    QPushButton *next = button(QStringLiteral("下一个"), "btnFindNext");
    QPushButton *close = button(QStringLiteral("关闭"), "btnCloseSearch");
    lblSearchResult = new QLabel(searchBar);
    lblSearchResult->setObjectName(QStringLiteral("lblSearchResult"));
    searchLayout->addWidget(previous);
    searchLayout->addWidget(next);
    searchLayout->addWidget(lblSearchResult);
    searchLayout->addWidget(close);
    connect(previous, &QPushButton::clicked, this, [this] { findNext(-1); });
    connect(next, &QPushButton::clicked, this, [this] { findNext(1); });
    connect(txtSearch, &QLineEdit::returnPressed, this, [this] { findNext(1); });
    connect(txtSearch, &QLineEdit::textChanged, this, [this] {
        markRefused(txtSearch, false);
        resetSearch();
    });
    const auto hideSearch = [this] {
        searchBar->hide();
        barBox->setVisible(!progressLine->isHidden());
        table->setFocus();
    };
    connect(close, &QPushButton::clicked, this, hideSearch);
    auto escape = new QShortcut(QKeySequence(Qt::Key_Escape), searchBar);
    escape->setContext(Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, this, hideSearch);
    boxLayout->addWidget(searchBar);

    progressLine = new QWidget(barBox);
    progressLine->setObjectName(QStringLiteral("filterProgress"));
    auto progressLayout = new QHBoxLayout(progressLine);
    progressLayout->setContentsMargins(0, 0, 0, 0);
    lblProgress = new QLabel(progressLine);
    progressBar = new QProgressBar(progressLine);
    progressBar->setRange(0, 1000);
    progressBar->setTextVisible(false);
    auto cancel = new QPushButton(QStringLiteral("取消"), progressLine);
    cancel->setObjectName(QStringLiteral("btnCancelFilterWork"));
    progressLayout->addWidget(lblProgress);
    progressLayout->addWidget(progressBar, 1);
    progressLayout->addWidget(cancel);
    connect(cancel, &QPushButton::clicked, this, &FrameLogFilter::cancelWork);
    boxLayout->addWidget(progressLine);

    progressTimer = new QTimer(this);
    progressTimer->setInterval(50);
    connect(progressTimer, &QTimer::timeout, this, &FrameLogFilter::updateProgress);

    searchBar->hide();
    progressLine->hide();
    barBox->hide();
}

void FrameLogFilter::addActions(QMenu *menu)
{
    onlyIdAction = menu->addAction(QStringLiteral("只显示此ID"));
    onlyIdAction->setObjectName(QStringLiteral("actionShowOnlyId"));
    connect(onlyIdAction, &QAction::triggered, this, [this] { pickIdentifier(true); });
    hideIdAction = menu->addAction(QStringLiteral("隐藏此ID"));
    hideIdAction->setObjectName(QStringLiteral("actionHideId"));
    connect(hideIdAction, &QAction::triggered, this, [this] { pickIdentifier(false); });
    menu->addSeparator();
    const auto add = [this, menu](const QString &text, const char *name,
                                  const QKeySequence &keys) {
        QAction *action = menu->addAction(text);
        action->setObjectName(QLatin1String(name));
        action->setShortcut(keys);
        return action;
    };
    connect(add(QStringLiteral("查找…"), "actionFind", QKeySequence(Qt::CTRL + Qt::Key_F)),
            &QAction::triggered, this, &FrameLogFilter::showSearch);
    connect(add(QStringLiteral("查找下一个"), "actionFindNext", QKeySequence(Qt::Key_F3)),
            &QAction::triggered, this, [this] { findNext(1); });
    connect(add(QStringLiteral("查找上一个"), "actionFindPrevious",
                QKeySequence(Qt::SHIFT + Qt::Key_F3)),
            &QAction::triggered, this, [this] { findNext(-1); });
    connect(add(QStringLiteral("跳转到时间…"), "actionGoToTime",
                QKeySequence(Qt::CTRL + Qt::Key_G)),
            &QAction::triggered, this, [this] {
        auto dialog = new QInputDialog(table->window());
        dialog->setObjectName(QStringLiteral("goToTimeDialog"));
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowTitle(QStringLiteral("跳转到时间"));
        dialog->setLabelText(QStringLiteral("时间（时:分:秒.毫秒）："));
        const int row = table->currentIndex().isValid() ? table->currentIndex().row() : 0;
        const int logRow = filterModel->logRow(row);
        if (logRow >= 0 && log->record(logRow).timeMs >= 0) {
            dialog->setTextValue(QTime::fromMSecsSinceStartOfDay(log->record(logRow).timeMs)
                                     .toString(QStringLiteral("hh:mm:ss.zzz")));
        }
        connect(dialog, &QInputDialog::textValueSelected, this, &FrameLogFilter::goToTime);
        dialog->open();
    });
}

void FrameLogFilter::setIdView(QWidget *view,
                               std::function<bool(quint32 *, bool *)> currentIdentifier)
{
    idView = view;
    idViewIdentifier = std::move(currentIdentifier);
}

bool FrameLogFilter::applyText(const QString &text)
{
    if (txtFilter->text() != text)
        txtFilter->setText(text);
    QString error;
    int position = 0;
    const FrameFilter filter = FrameFilter::compile(text, database, &error, &position);
    if (!filter.isValid()) {
        // The filter in force stays; the field says where the expression went wrong.
        markRefused(txtFilter, true);
        txtFilter->setCursorPosition(position);
        emit statusMessage(refusal(QStringLiteral("筛选表达式错误"), error, position));
        return false;
    }
    markRefused(txtFilter, false);
    filterModel->setFilter(filter);
    if (filterModel->isApplying()) {
        progressTimer->start();
        emit statusMessage(QStringLiteral("正在筛选…"));
    }
    return true;
}

void FrameLogFilter::applied(bool done)
{
    if (!done) {
        emit statusMessage(QStringLiteral("筛选已取消，原来的筛选仍然有效"));
        return;
    }
    const int rows = filterModel->rowCount();
    if (keptNumber >= 0) {
        const int row = filterModel->rowAtOrAfter(keptNumber);
        if (row < rows && filterModel->logRow(row) >= 0
            && log->number(filterModel->logRow(row)) == keptNumber) {
            table->selectionModel()->setCurrentIndex(
                filterModel->index(row, 0),
                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        }
        keptNumber = -1;
    }
    if (!autoScroll || autoScroll->isChecked())
        table->scrollToBottom();
    else if (table->currentIndex().isValid())
        table->scrollTo(table->currentIndex(), QAbstractItemView::PositionAtCenter);
    txtFilter->setToolTip(filterModel->isFiltered()
                              ? QStringLiteral("在用的筛选：%1").arg(filterModel->filter().text())
                              : QStringLiteral("按回车应用筛选；清空后回车显示全部帧"));
    // The search looks among the rows shown.
    resetSearch();
    emit statusMessage(filterModel->isFiltered()
                           ? QStringLiteral("筛选：显示 %1 / %2 帧").arg(rows)
                                 .arg(log->rowCount())
                           : QStringLiteral("显示全部 %1 帧").arg(rows));
}

void FrameLogFilter::pickIdentifier(bool only)
{
    quint32 id = 0;
    bool extended = false;
    if (!selectedIdentifier(&id, &extended)) {
        emit statusMessage(QStringLiteral("请先选中一行帧（错误帧没有ID）"));
        return;
    }
    const QString term = FrameFilter::identifierTerm(id, extended);
    applyText(only ? term
                   : FrameFilter::narrowed(filterModel->filter().text(),
                                           QStringLiteral("!(%1)").arg(term)));
}

bool FrameLogFilter::selectedIdentifier(quint32 *id, bool *extended) const
{
    if (idView && idView->isVisible())
        return idViewIdentifier(id, extended);
    const QModelIndex current = table->currentIndex();
    const int logRow = current.isValid() ? filterModel->logRow(current.row()) : -1;
    if (logRow < 0)
        return false;
    const FrameRecord &record = log->record(logRow);
    if (record.flags & FrameRecord::Error)
        return false;
    *id = record.id;
    *extended = record.flags & FrameRecord::Extended;
    return true;
}

void FrameLogFilter::showSearch()
{
    barBox->show();
    searchBar->show();
    txtSearch->setFocus();
    txtSearch->selectAll();
}

void FrameLogFilter::resetSearch()
{
    searchMatches->cancel();
    searchReady = false;
    found.clear();
    foundNext = -1;
    lblSearchResult->clear();
}

void FrameLogFilter::findNext(int step)
{
    // F3 on a closed bar opens it, and searches at once if it still holds an expression.
    if (txtSearch->text().trimmed().isEmpty()) {
        showSearch();
        return;
    }
    barBox->show();
    searchBar->show();
    pendingStep = step;
    if (searchMatches->isRunning())
        return;
    bool done;
    if (!searchReady) {
        QString error;
        int position = 0;
        const FrameFilter terms = FrameFilter::compile(txtSearch->text(), database, &error,
                                                       &position);
        if (!terms.isValid()) {
            markRefused(txtSearch, true);
            txtSearch->setCursorPosition(position);
            emit statusMessage(refusal(QStringLiteral("查找表达式错误"), error, position));
            return;
        }
        // Only the rows shown are searched.
        searchFilter = FrameFilter::both(filterModel->filter(), terms);
        done = searchMatches->collect(testOf(searchFilter));
    } else {
        // Rows that arrived since the last look are searched too.
        done = searchMatches->collect(testOf(searchFilter), std::move(found), foundNext);
    }
    if (done)
        searchCollected();
    else
        progressTimer->start();
}

void FrameLogFilter::searchCollected()
{
    found = searchMatches->takeResult(&foundNext);
    searchReady = true;
    stepTo(pendingStep);
}

void FrameLogFilter::stepTo(int step)
{
    if (found.isEmpty()) {
        lblSearchResult->setText(QStringLiteral("没有匹配的帧"));
        return;
    }
    const qint64 current = currentNumber();
    int at;
    bool wrapped = false;
    if (step > 0) {
        at = current < 0 ? 0 : found.lowerBound(current + 1);
        wrapped = at == found.size();
        if (wrapped)
            at = 0;
    } else {
        at = current < 0 ? found.size() - 1 : found.lowerBound(current) - 1;
        wrapped = at < 0;
        if (wrapped)
            at = found.size() - 1;
    }
    showFound(found.at(at));
    lblSearchResult->setText(QStringLiteral("第 %1 个，共 %2 个").arg(at + 1).arg(found.size()));
    if (wrapped) {
        emit statusMessage(step > 0 ? QStringLiteral("查找已回到开头")
                                    : QStringLiteral("查找已回到末尾"));
    }
}

void FrameLogFilter::showFound(qint64 number)
{
    const int row = filterModel->rowAtOrAfter(number);
    if (row >= filterModel->rowCount())
        return;
    if (autoScroll)
        autoScroll->setChecked(false);
    const QModelIndex index = filterModel->index(row, 0);
    table->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    table->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

bool FrameLogFilter::goToTime(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\s*(\\d{1,2}):(\\d{1,2})(?::(\\d{1,2})(?:[.:](\\d{1,3}))?)?\\s*$"));
    // A time typed in full-width digits is the time it shows, not a refusal.
    const QRegularExpressionMatch match = pattern.match(TypedNumber::asciiForms(text));
    const QTime time = match.hasMatch()
        ? QTime(match.captured(1).toInt(), match.captured(2).toInt(),
                match.captured(3).toInt(),
                match.captured(4).leftJustified(3, QLatin1Char('0')).toInt())
        : QTime();
    if (!time.isValid()) {
        emit statusMessage(QStringLiteral("时间应写作 时:分:秒.毫秒，如 08:30:00.250"));
        return false;
    }
    timeMs = time.msecsSinceStartOfDay();
    delete timeScan;
    timeScan = nullptr;
    const FrameFilter shown = filterModel->filter();
    const qint32 wantedMs = qint32(timeMs);
    FrameScan::Test test = [shown, wantedMs](const FrameRecord &record,
                                             const FrameTails *tails) {
        return record.timeMs >= wantedMs && shown.matches(record, tails);
    };
    const int rows = log->rowCount();
    if (rows <= FrameMatches::inlineRows) {
        for (int row = 0; row < rows; ++row) {
            if (test(log->record(row), &log->fdTails())) {
                showFound(log->number(row));
                return true;
            }
        }
        timeFound(true);
        return true;
    }
    timeScan = new FrameScan(log->snapshot(rows), 0, test, true, this);
    connect(timeScan, &FrameScan::finished, this, &FrameLogFilter::timeFound);
    timeClock.start();
    timeScan->start();
    progressTimer->start();
    return true;
}

void FrameLogFilter::timeFound(bool complete)
{
    FrameNumberIndex result;
    if (timeScan) {
        result = timeScan->takeResult();
        timeScan->deleteLater();
        timeScan = nullptr;
    }
    if (!complete)
        return;
    // Trimmed away meanwhile, the frame is no longer there to show.
    if (!result.isEmpty() && log->rowCount() > 0 && result.at(0) >= log->number(0)) {
        showFound(result.at(0));
        return;
    }
    emit statusMessage(QStringLiteral("没有 %1 或之后的帧")
                           .arg(QTime::fromMSecsSinceStartOfDay(int(timeMs))
                                    .toString(QStringLiteral("hh:mm:ss.zzz"))));
}

void FrameLogFilter::updateProgress()
{
    QString label;
    double part = 0;
    qint64 ranMs = 0;
    if (filterModel->isApplying()) {
        label = QStringLiteral("正在筛选…");
        part = filterModel->application()->progress();
        ranMs = filterModel->application()->elapsedMs();
    } else if (searchMatches->isRunning()) {
        label = QStringLiteral("正在查找…");
        part = searchMatches->progress();
        ranMs = searchMatches->elapsedMs();
    } else if (timeScan) {
        label = QStringLiteral("正在跳转…");
        part = timeScan->rowsTotal() ? double(timeScan->rowsDone()) / timeScan->rowsTotal() : 0;
        ranMs = timeClock.elapsed();
    }
    if (label.isEmpty()) {
        progressTimer->stop();
        progressLine->hide();
        barBox->setVisible(!searchBar->isHidden());
        return;
    }
    if (ranMs < progressDelayMs)
        return;
    lblProgress->setText(label);
    progressBar->setValue(int(part * 1000));
    progressLine->show();
    barBox->show();
}

void FrameLogFilter::cancelWork()
{
    filterModel->cancelApply();
    if (searchMatches->isRunning()) {
        resetSearch();
        emit statusMessage(QStringLiteral("查找已取消"));
    }
    delete timeScan;
    timeScan = nullptr;
    updateProgress();
}

qint64 FrameLogFilter::currentNumber() const
{
    const QModelIndex current = table->currentIndex();
    const int logRow = current.isValid() ? filterModel->logRow(current.row()) : -1;
    return logRow >= 0 ? log->number(logRow) : -1;
}

FrameLogSnapshot FrameLogFilter::shownRows(int *ofRows) const
{
    *ofRows = filterModel->isFiltered() ? log->rowCount() : -1;
    return filterModel->shownSnapshot();
}


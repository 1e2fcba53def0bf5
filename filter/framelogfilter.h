#pragma once

// The frame log's filter and search, in one component beside the table: the field
// "txtFilter" for the frame log's bottom row (Enter applies it), the search bar "查找"
// with "上一个" and "下一个", "跳转到时间…", "只显示此ID" and "隐藏此ID" for the menu and
// the per-identifier view's right-click menu, and a progress line with a cancel for work
// over millions of rows that lasts longer than 100 ms. The table shows the frame log
// through model(); expressions are compiled against the window's database as it is when
// they are applied. GUI thread only.

#include "filter/framefilter.h"
#include "filter/framenumberindex.h"
#include "monitor/framelogmodel.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>

class FrameFilterModel;
class FrameMatches;
class FrameScan;
class DbcDatabase;

QT_BEGIN_NAMESPACE
class QAbstractItemModel;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QTableView;
class QTimer;
class QWidget;
QT_END_NAMESPACE

class FrameLogFilter : public QObject
{
    Q_OBJECT

public:
    // `shown` is the model over `log` the table showed so far (its decoded column); the
    // table gets model() in its place.
    FrameLogFilter(FrameLogModel *log, QAbstractItemModel *shown, QTableView *table,
                   const DbcDatabase *database, QWidget *parent);
    ~FrameLogFilter() override;

    FrameFilterModel *model() const { return filterModel; }
    // The field for the frame log's bottom row; the search bar and the progress line, in
    // one widget for under the table, hidden until needed.
    QLineEdit *field() const { return txtFilter; }
    QWidget *bars() const { return barBox; }
    // "只显示此ID", "隐藏此ID", then "查找…" (Ctrl+F), "查找下一个" (F3), "查找上一个"
    // (Shift+F3) and "跳转到时间…" (Ctrl+G).
    void addActions(QMenu *menu);
    // The per-identifier view: while it is shown, "只显示此ID" and "隐藏此ID" act on the
    // identifier of its current row, which `currentIdentifier` tells (false: none).
    void setIdView(QWidget *view, std::function<bool(quint32 *, bool *)> currentIdentifier);
    // "只显示此ID" and "隐藏此ID", for the per-identifier view's right-click menu; made by
    // addActions().
    QList<QAction *> idActions() const { return { onlyIdAction, hideIdAction }; }
    // "自动滚动": a jump to a found row turns it off, or the next tick would scroll away.
    void setAutoScroll(QCheckBox *box) { autoScroll = box; }

    // As if typed into the field and Enter pressed; false when the expression is refused.
    bool applyText(const QString &text);
    // Selects the next (step 1) or previous (-1) row the search bar's expression matches.
    void findNext(int step);
    // Selects the first row shown at or after a time of day ("08:30:00.250"); false when
    // the text is no time.
    bool goToTime(const QString &text);

    // The rows shown, for an export or a save; *ofRows is the frame log's row count when
    // a filter is in force, else -1.
    FrameLogSnapshot shownRows(int *ofRows) const;

signals:
    void statusMessage(const QString &text);

private:
    void setupBars();
    void applied(bool applied);
    void pickIdentifier(bool only);
    bool selectedIdentifier(quint32 *id, bool *extended) const;
    void showSearch();
    void resetSearch();
    void searchCollected();
    void stepTo(int step);
    void showFound(qint64 number);
    void timeFound(bool complete);
    void updateProgress();
    void cancelWork();
    qint64 currentNumber() const;

    FrameLogModel *log;
    QTableView *table;
    const DbcDatabase *database;
    FrameFilterModel *filterModel;
    QLineEdit *txtFilter;
    QWidget *barBox = nullptr;
    QWidget *searchBar = nullptr;
    QLineEdit *txtSearch = nullptr;
    QLabel *lblSearchResult = nullptr;
    QWidget *progressLine = nullptr;
    QLabel *lblProgress = nullptr;
    QProgressBar *progressBar = nullptr;
    QTimer *progressTimer = nullptr;
    QCheckBox *autoScroll = nullptr;
    QWidget *idView = nullptr;
    std::function<bool(quint32 *, bool *)> idViewIdentifier;
    QAction *onlyIdAction = nullptr;
    QAction *hideIdAction = nullptr;

    // The selected frame while the table's rows change over to another filter's.
    qint64 keptNumber = -1;

    // The search: its matches among the rows shown, complete up to foundNext.
    FrameFilter searchFilter;
    bool searchReady = false;
    FrameNumberIndex found;
    qint64 foundNext = -1;
    FrameMatches *searchMatches;
    int pendingStep = 1;

    FrameScan *timeScan = nullptr;
    QElapsedTimer timeClock;
    qint64 timeMs = 0;
};

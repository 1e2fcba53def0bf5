#pragma once

// The frame log as the window's table shows it: the frame log model's columns and, after
// them while a database with messages is set, the "解析" column with each frame decoded by
// it. Without one the table has the frame log's columns alone. Cells of that
// column are made only when the view asks for them, that is for the rows in sight, so a
// full bus costs no decoding beyond what the screen shows. The column is no part of the
// frame log itself: its header says notExportedRole and the CSV file stays as it was.
// GUI thread only; the database must outlive the model or be replaced by setDatabase().

#include <QIdentityProxyModel>

class DbcDatabase;
class FrameLogModel;
struct DbcMessage;

// The cell: "Message: Signal=value unit, Signal=description, …", cut short for a long one.
QString decodedFrameSummary(const DbcMessage &message, const QByteArray &data);
// The tooltip: the message, then every signal the payload carries on a line of its own
// with its unit, its value description and a mark when it is out of range.
QString decodedFrameDetails(const DbcMessage &message, const QByteArray &data);

class FrameLogDecoder : public QIdentityProxyModel
{
    Q_OBJECT

public:
    explicit FrameLogDecoder(FrameLogModel *frameLog, QObject *parent = nullptr);

    // Where the decoded column is, or would be: it exists only while a database with
    // messages is set.
    int decodedColumn() const;
    // Also to be called when the database's contents changed: the column is redrawn, added
    // or removed.
    void setDatabase(const DbcDatabase *database);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    QModelIndex sibling(int row, int column, const QModelIndex &index) const override;
    QModelIndex mapToSource(const QModelIndex &proxyIndex) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    const FrameLogModel *frameLog;
    const DbcDatabase *database = nullptr;
    bool columnPresent = false;
};

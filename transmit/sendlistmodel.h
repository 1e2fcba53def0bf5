#pragma once

// The send list's table: twelve text cells per row and nothing else, kept compact so that a
// list of hundreds of thousands of rows costs a few hundred bytes a row. A row is stored
// as the texts of its cells laid end to end with the end of each cell beside them.
//
// SendListRows is a plain value (implicitly shared), so a file can be read into one on a
// worker thread and handed over whole; the model itself belongs to the GUI thread.

#include <QAbstractTableModel>
#include <QStringList>
#include <QVector>

#include <array>

class SendListRow
{
public:
    static constexpr int cellCount = 12;
    // The cells a list had before the FD flags joined it; files keep those keys as they were.
    static constexpr int classicCellCount = 10;

    SendListRow() { ends.fill(0); }
    explicit SendListRow(const QStringList &cells);

    QString cell(int column) const;
    void setCell(int column, const QString &text);

private:
    int start(int column) const { return column == 0 ? 0 : int(ends[size_t(column - 1)]); }

    QString text;
    std::array<quint32, cellCount> ends;
};

using SendListRows = QVector<SendListRow>;

class SendListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit SendListModel(QObject *parent = nullptr);

    void setHeaders(const QStringList &headers);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value,
                 int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool insertRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;

    QString cell(int row, int column) const;
    void appendRow(const QStringList &cells);
    // Moves one row to the position `to` (both counted before the move).
    void moveRow(int from, int to);
    // Replaces every row at once: one reset for the view instead of a change per row.
    void setRows(const SendListRows &rows);
    const SendListRows &rows() const { return list; }

private:
    SendListRows list;
    QStringList headerTexts;
};

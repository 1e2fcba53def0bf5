#pragma once

// The transmit panel: a frame editor whose frame is sent at once or repeatedly at an
// interval, and a send list of prepared frames that can be edited, sent in turn for a
// number of passes, and saved to or loaded from an INI file.
//
// The send list model holds display texts only; a row is whatever its cells say, and
// frameFromRow() reads it back. Sending goes through SendThread, which works on its own
// copy of the frames, so the list stays editable while a send runs.
//
// List files are read and written on a worker thread behind a progress dialog, so that a
// list of hundreds of thousands of rows never freezes the window; the list changes only
// when a read has finished.
//
// Other features may add sections below the editor's fields (addEditorSection) that fill
// the editor through setEditorFrame(); the data field always holds what is sent.
//
// What cannot be sent is refused before it reaches the send thread or the list: the
// offending field is marked (markRefused) and the reason goes out through statusMessage, as
// do failed file operations and a send asked for while a trace replay runs. Counts and
// intervals are whole numbers as TypedNumber reads them.
//
// GUI thread only.

#include "transmit/sendframe.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QLayoutItem;
class QModelIndex;
class QProgressDialog;
class QThread;
class SendListModel;

namespace SendListFile {
struct Progress;
}

namespace Ui {
class DataSendWidget;
}

class DataSendWidget : public QWidget
{
    Q_OBJECT

public:
    explicit DataSendWidget(QWidget *parent = nullptr);
    ~DataSendWidget() override;

    // The editor's fields as a frame; text that does not convert gives 0.
    SendFrame frameFromEditor() const;
    // Sets all cells of the existing send list row, numbering it row + 1 and naming
    // it with the editor's current name.
    void writeRow(int row, const SendFrame &frame);
    // The frame that send list row describes; text that does not convert gives 0.
    SendFrame frameFromRow(int row) const;
    // Puts a composed data frame into the editor, as if typed; an FD one sets FD.
    void setEditorFrame(quint32 id, bool extended, const QByteArray &data, const QString &name,
                        bool fd);
    // Shows the editor's FD and BRS boxes, which stay hidden for a classic bus unless the
    // editor holds an FD frame.
    void setFdShown(bool shown);
    // Puts `section` below the editor's fields and those added before, and makes it the
    // panel's. The editor keeps its room as the section is shown, hidden or resized, and
    // the section is locked with the editor while a list is being sent.
    void addEditorSection(QWidget *section);

    // The editor's fields as a frame, read strictly (FrameCheck). On refusal the offending
    // field is marked, statusMessage says why and false is returned.
    bool readEditor(SendFrame *frame);
    // The send list row read strictly; false with the reason, and the column of the cell
    // refused, when it cannot be sent.
    bool readRow(int row, SendFrame *frame, QString *reason, int *column = nullptr) const;

    // Start reading or writing the list file; fileOperationFinished follows. While one
    // runs, another is refused with a status message.
    void loadList(const QString &path);
    void saveList(const QString &path);
    bool isFileOperationRunning() const { return fileThread != nullptr; }

signals:
    void statusMessage(const QString &text);
    void fileOperationFinished();
    // The data field was edited by hand; `editor` is the editor as frameFromEditor() reads it.
    void dataEditedByHand(const SendFrame &editor);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_btnSend_clicked();
    void on_btnAddToList_clicked();
    void on_btnUpdateList_clicked();
    void on_btnUp_clicked();
    void on_btnDown_clicked();
    void on_btnSave_clicked();
    void on_btnLoad_clicked();
    void on_btnDelete_clicked();
    void on_btnSendList_clicked();
    void on_tableView_clicked(const QModelIndex &index);
    void sendFinishedSlot();
    void on_txtData_textChanged(const QString &arg1);

private:
    QList<QWidget *> editorWidgets() const;
    void setEditorEnabled(bool enabled);
    QString cellText(int row, int column) const;
    void setCellText(int row, int column, const QString &text);
    void moveCurrentRow(int offset);
    void setupNarrowEditor();
    void measureEditor();
    void arrangeEditor(bool narrow);
    void makeRoomForEditor();
    void setupFdBoxes();
    void setEditorFd(bool fd, bool brs);

    // Where an item of the frame editor's grid goes.
    struct GridPlace
    {
        QLayoutItem *item = nullptr;
        int row = 0;
        int column = 0;
        int rowSpan = 1;
        int columnSpan = 1;
        Qt::Alignment alignment;
    };
    bool refuseWhileReplaying();
    bool startFileOperation(const QString &label, bool cancellable,
                            const std::function<void()> &work,
                            const std::function<void()> &done,
                            const std::shared_ptr<SendListFile::Progress> &progress);
    void showFileProgress();

    Ui::DataSendWidget *ui = nullptr;
    SendListModel *sendListModel = nullptr;
    QLabel *fdLabel = nullptr;
    QCheckBox *chkFd = nullptr;
    QCheckBox *chkBrs = nullptr;
    bool fdShown = false;
    int editorFormMinimum = 0;
    QList<QPointer<QWidget>> editorSections;
    QThread *fileThread = nullptr;
    QProgressDialog *fileProgressDialog = nullptr;
    std::shared_ptr<SendListFile::Progress> fileProgress;
    // The items that move in a narrow panel: where the wide and the narrow panel put them.
    QList<GridPlace> wideItems;
    QList<GridPlace> narrowItems;
    int wideEditorWidth = 0; // the editor's least width with the form's three pairs
    int editorBoxHeight = 0; // the form's least height of the editor's box
    bool editorNarrow = false;
    bool arrangingEditor = false;
};

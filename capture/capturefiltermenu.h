#pragma once

// The capture filter's place in the window: "设备" → "接收过滤…" asks for the terms in a
// dialog that refuses bad text with the reason and the place, hands an accepted filter to
// the listen thread (in force at once, and for every later open) and shows "接收过滤中"
// in the status bar while one is set. The window puts actions() into its 设备 menu and
// stateField() into its status bar. GUI thread only.

#include <QDialog>
#include <QList>
#include <QObject>

class MonitorContext;

QT_BEGIN_NAMESPACE
class QAction;
class QLabel;
class QLineEdit;
QT_END_NAMESPACE

class CaptureFilterDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CaptureFilterDialog(const QString &text, QWidget *parent = nullptr);
    QString text() const;
    // Refuses text that does not parse: the field is marked and the reason shown.
    void accept() override;

private:
    QLineEdit *field = nullptr;
    QLabel *errorLabel = nullptr;
};

class CaptureFilterMenu : public QObject
{
    Q_OBJECT

public:
    // The dialog and the state field are children of `window`.
    CaptureFilterMenu(MonitorContext *context, QWidget *window);

    QList<QAction *> actions() const { return { action }; }
    QLabel *stateField() const { return stateLabel; }

    // Puts the filter written as `text` in force, none for an empty text; false for a
    // refused text, with *error saying why and where, which leaves the filter as it was.
    bool apply(const QString &text, QString *error = nullptr);

private:
    void choose();
    void showState();

    MonitorContext *context;
    QWidget *window;
    QAction *action = nullptr;
    QLabel *stateLabel = nullptr;
};

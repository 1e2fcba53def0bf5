#pragma once

// The options of a trace replay, asked for once the file is chosen: loop, speed factor,
// received frames only. The last answers are offered again. Also words the replay's
// progress for the status bar.
//
// GUI thread only.

#include "tracemenu/replayoptions.h"

#include <QDialog>

class QCheckBox;
class QDoubleSpinBox;

class ReplayDialog : public QDialog
{
    Q_OBJECT

public:
    // The path is shown and handed back; the rest of options fills the controls.
    explicit ReplayDialog(const ReplayOptions &options, QWidget *parent = nullptr);

    ReplayOptions options() const;

    // One status line: under way, or how it ended once progress.stopped or the end says so.
    static QString statusText(const ReplayProgress &progress, bool finished);

private:
    QString path;
    QCheckBox *chkLoop = nullptr;
    QDoubleSpinBox *spnSpeed = nullptr;
    QCheckBox *chkReceivedOnly = nullptr;
};

#pragma once

// The progress dialog of a long piece of work on the frames (export, trace save or open):
// window-modal, shown only after 300 ms, with a 取消 button, and up until the work says it
// has finished whatever its value says. GUI thread only.

#include <QString>

class QProgressDialog;
class QWidget;

QProgressDialog *workProgress(QWidget *parent, const QString &label, const QString &title,
                              const QString &objectName, int maximum);

#pragma once

// How every field of the window shows that what it holds was refused: a red frame (the
// dynamic property inputRefused, which the frame's style rule selects), while the reason
// goes to the status bar. The mark of a line edit goes as soon as its text is edited.
//
// GUI thread only.

class QWidget;

void markRefused(QWidget *field, bool refused);

#pragma once

// The capture filter as the user writes it: identifier/mask terms separated by commas,
// `123:7FF` (a frame passes when its identifier and the mask give what 123 and the mask
// give), `123~7FF` (it passes when they do not), an identifier written with all eight
// digits (`12345678:1FFFFFFF`) standing for a 29-bit one; hexadecimal throughout. A frame
// passes when it passes any term; no term passes every frame. Plain values, any thread.

#include "canable/canable.h"

#include <QString>
#include <QVector>

struct CaptureFilter
{
    QVector<CanReceiveFilter> terms;
    // As the user wrote it, trimmed; empty for no filter.
    QString text;

    bool isSet() const { return !terms.isEmpty(); }
    bool passes(const CanFrameRecord &record) const
    {
        return canable_filterPasses(terms.constData(), terms.size(), &record) != 0;
    }

    // False for refused text, with *error saying why and *position the 0-based character
    // where it went wrong; *filter is then untouched.
    static bool parse(const QString &text, CaptureFilter *filter, QString *error,
                      int *position);
};

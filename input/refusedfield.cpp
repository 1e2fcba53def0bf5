#include "input/refusedfield.h"

#include <QLineEdit>
#include <QStyle>

namespace {

const char refusedProperty[] = "inputRefused";
const char clearingProperty[] = "inputRefusedClears";

} // namespace

void markRefused(QWidget *field, bool refused)
{
    // The rule travels with the field, so that a field refuses alike in any window.
    if (refused && field->styleSheet().isEmpty()) {
        field->setStyleSheet(QStringLiteral("[inputRefused=\"true\"] "
                                            "{ border: 2px solid rgb(255,0,0); }"));
    }
    auto edit = qobject_cast<QLineEdit *>(field);
    if (refused && edit && !edit->property(clearingProperty).toBool()) {
        edit->setProperty(clearingProperty, true);
        QObject::connect(edit, &QLineEdit::textChanged, edit,
                         [edit] { markRefused(edit, false); });
    }
    if (field->property(refusedProperty).toBool() == refused)
        return;
    field->setProperty(refusedProperty, refused);
    field->style()->unpolish(field);
    field->style()->polish(field);
}

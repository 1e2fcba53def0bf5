#include "input/typedspinbox.h"

#include "input/typednumber.h"

// The forms map one character to one, so the cursor stays where it was.
QValidator::State TypedSpinBox::validate(QString &input, int &pos) const
{
    input = TypedNumber::asciiForms(input);
    return QSpinBox::validate(input, pos);
}

QValidator::State TypedDoubleSpinBox::validate(QString &input, int &pos) const
{
    input = TypedNumber::asciiForms(input);
    return QDoubleSpinBox::validate(input, pos);
}

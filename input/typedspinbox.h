#pragma once

// Spin boxes for the program's numeric dialog fields. A Chinese input method in full-width
// mode types "１０" for 10; the plain spin boxes refuse such keystrokes one by one, so the
// field would keep its old value while the user believes the new one is set. These read
// full-width forms as the characters they show and are otherwise the toolkit's spin boxes.
//
// GUI thread only.

#include <QDoubleSpinBox>
#include <QSpinBox>

class TypedSpinBox : public QSpinBox
{
public:
    using QSpinBox::QSpinBox;

    QValidator::State validate(QString &input, int &pos) const override;
};

class TypedDoubleSpinBox : public QDoubleSpinBox
{
public:
    using QDoubleSpinBox::QDoubleSpinBox;

    QValidator::State validate(QString &input, int &pos) const override;
};

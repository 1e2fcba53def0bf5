#pragma once

// Texts for the error events a CAN controller reports (the error frames of SocketCAN,
// linux/can/error.h), as the frame log shows them. Plain functions, any thread.

#include <QByteArray>
#include <QString>

// The classes set in `errorClass` (CAN_ERR_* bits), each with what its bytes of `data`
// say, joined in a fixed order, e.g. "总线错误，位错误(发送时，位置:数据段)，ACK错误".
// Missing data bytes read as 0.
QString errorEventText(quint32 errorClass, const QByteArray &data);

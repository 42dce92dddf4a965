// A ping context whose every wait is over at once, for the ping module's pure tests and its fuzz target: boxes
// recorded, echoes answered in under 1 ms (to 0.0.0.0/8: refused, as by a socket).
#pragma once

#include "Ping.h"

#include <QtEndian>

struct InlineContext : Pelorin::PingContext {
    QStringList boxes;
    QByteArrayList sent; // each echo's data
    Pelorin::Task<void> yield() override { co_return; }
    Pelorin::Task<int> showMessageBox(QString text, int style) override
    {
        boxes << text + (style == Pelorin::MsgBox::OKOnly ? "" : " (style)");
        co_return Pelorin::MsgBox::AnswerOK;
    }
    Pelorin::Task<Pelorin::EchoResult> echo(quint32 address, QByteArray data, qint32) override
    {
        using namespace Pelorin::IpStatus;
        sent << data;
        co_return Pelorin::EchoResult{qFromBigEndian(address) >> 24 ? Success : BadDestination, 0, 64, {}};
    }
};

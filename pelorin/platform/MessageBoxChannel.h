// Where the probe server's modal message boxes go. Pelorin has no window of its
// own: each probe object's thread installs a channel that carries its boxes to
// the client and waits, running the thread's event loop, until the box is closed.
#pragma once

#include <QString>

namespace Pelorin {

class MessageBoxChannel
{
public:
    virtual ~MessageBoxChannel() = default;
    // Shows the box and returns the answer (MsgBox::AnswerOK and so on).
    virtual int show(const QString &text, int style, const QString &title) = 0;
};

// Installs the calling thread's channel; null removes it.
void setThreadMessageBoxChannel(MessageBoxChannel *channel);

// Shows a box titled "Pelorin" through the calling thread's channel. Without a
// channel the text goes to pelorin's log (stderr) and the answer is OK.
int ShowMessageBox(const QString &text, int style);

} // namespace Pelorin

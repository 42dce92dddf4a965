#include "platform/MessageBoxChannel.h"

#include "PelorinLog.h"
#include "ProbeInterface.h"

namespace Pelorin {

namespace {
thread_local MessageBoxChannel *t_channel = nullptr;
}

void setThreadMessageBoxChannel(MessageBoxChannel *channel)
{
    t_channel = channel;
}

int ShowMessageBox(const QString &text, int style)
{
    if (t_channel)
        return t_channel->show(text, style, QString::fromLatin1(kLibraryName));
    qCWarning(lcPelorin).noquote() << text;
    return MsgBox::AnswerOK;
}

} // namespace Pelorin

// Address texts of any shape through the dotted-address conversion: it must report, never crash.
#include "Ping.h"
#include "platform/MessageBoxChannel.h"

namespace {
struct SilentChannel : Pelorin::MessageBoxChannel {
    int show(const QString &, int, const QString &) override { return 1; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static SilentChannel channel;
    Pelorin::setThreadMessageBoxChannel(&channel);
    (void)Pelorin::addressStringToLong(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}

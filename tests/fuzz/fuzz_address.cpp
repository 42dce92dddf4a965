// Address texts of any shape through the dotted-address conversion: it must
// report, never crash, and give 0 for anything that is not four parts.
#include "MessageBoxChannel.h"
#include "modPing.h"

namespace {
class SilentChannel : public Pelorin::MessageBoxChannel
{
public:
    int show(const QString &, int, const QString &) override { return 1; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static SilentChannel channel;
    Pelorin::setThreadMessageBoxChannel(&channel);
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    (void)Pelorin::AddressStringToLong(text);
    return 0;
}

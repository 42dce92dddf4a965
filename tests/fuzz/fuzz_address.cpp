// Address texts of any shape, as pelorin reads them from its pipe, through the dotted-address conversion: it must
// report, never crash.
#include "Ping.h"

namespace {
// Every wait over at once; boxes dropped.
struct SilentContext : Pelorin::PingContext {
    Pelorin::Task<void> yield() override { co_return; }
    Pelorin::Task<int> showMessageBox(QString, int) override { co_return 1; }
    Pelorin::Task<Pelorin::EchoResult> echo(quint32, QByteArray, qint32) override { co_return Pelorin::EchoResult{}; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SilentContext context;
    (void)Pelorin::addressStringToLong(context, QString::fromUtf8(QByteArrayView(data, qsizetype(size)))).runInline();
    return 0;
}

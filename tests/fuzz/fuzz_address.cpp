// Address texts of any shape, as pelorin reads them from its pipe, through the dotted-address conversion: it must
// report, never crash.
#include "InlineContext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    InlineContext context;
    (void)Pelorin::addressStringToLong(context, QString::fromUtf8(QByteArrayView(data, qsizetype(size)))).runInline();
    return 0;
}

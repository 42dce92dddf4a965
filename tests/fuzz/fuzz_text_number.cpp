// Any text-box contents through number reading, writing and conversion; a finite number reads back from its text.
#include "engine/TextNumber.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const double v = TextNumber::toNumber(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (std::isfinite(v) && TextNumber::toNumber(TextNumber::fromNumber(v)) != v)
        std::abort();
    bool ok = false;
    (void)TextNumber::toInt32(v, &ok);
    (void)TextNumber::toUInt8(v, &ok);
    return 0;
}

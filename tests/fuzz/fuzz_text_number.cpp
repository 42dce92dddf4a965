// Any text-box contents through number reading, writing and conversion.
#include "TextNumber.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const double v = TextNumber::Val(text);
    if (std::isfinite(v)) {
        const double back = TextNumber::Val(TextNumber::Str(v));
        if (back != v)
            std::abort();
    }
    bool ok = false;
    (void)TextNumber::ToLong(v, &ok);
    (void)TextNumber::ToByte(v, &ok);
    return 0;
}

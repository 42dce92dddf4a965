// Any text-box contents through number reading, writing and conversion; a finite number reads back from its text.
#include "engine/TextNumber.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const double v = TextNumber::Val(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (std::isfinite(v) && TextNumber::Val(TextNumber::Str(v)) != v)
        std::abort();
    bool ok = false;
    (void)TextNumber::ToLong(v, &ok);
    (void)TextNumber::ToByte(v, &ok);
    return 0;
}

// Any response text through page recognition and the description cut, which is always a piece of the text.
#include "engine/IdPage.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString raw = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    (void)IdPage::isIdentificationPage(raw);
    const auto description = IdPage::description(raw);
    if (description && !description->isEmpty() && !raw.contains(*description))
        std::abort();
    return 0;
}

// Arbitrary bytes in arbitrary chunks through the frame reader of both programs; every accepted frame survives a re-encode.
#include "ProbeProtocol.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace Pelorin::Wire;
    FrameReader reader;
    for (size_t pos = 0, n = 0; pos < size; pos += n) {
        n = std::min<size_t>(1 + data[pos] % 64, size - pos); // the chunk's first byte sets its size
        reader.append(reinterpret_cast<const char *>(data) + pos, qsizetype(n));
        while (auto item = reader.next()) {
            if (!item->message)
                continue;
            const auto again = decodePayload(encode(*item->message).mid(4));
            if (!again || !(*again == *item->message))
                std::abort();
        }
    }
    return 0;
}

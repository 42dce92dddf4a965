// Feeds arbitrary bytes, in arbitrary chunks, to the frame reader both programs
// use on their end of the pipe. Every frame it accepts must survive a re-encode.
#include "WireProtocol.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace Pelorin::Wire;
    FrameReader reader;
    size_t pos = 0;
    while (pos < size) {
        const size_t chunk = 1 + (data[pos] % 64);
        const size_t n = std::min(chunk, size - pos);
        reader.append(reinterpret_cast<const char *>(data) + pos, qsizetype(n));
        pos += n;
        while (auto item = reader.next()) {
            if (!item->message)
                continue;
            const QByteArray frame = encode(*item->message);
            const auto again = decodePayload(frame.mid(4));
            if (!again || !(*again == *item->message))
                std::abort();
        }
    }
    return 0;
}

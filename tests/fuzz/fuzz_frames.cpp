// Arbitrary bytes in arbitrary chunks through the frame reader; every frame that decodes as the packet of its type
// (any type of the list) survives a re-encode. (The header's object id: server_protocol_test's round trips.)
#include "ProbeProtocol.h"

#include <cstdlib>

using namespace Pelorin::Wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FrameReader reader;
    for (size_t pos = 0, n = 0; pos < size; pos += n) {
        n = std::min<size_t>(1 + data[pos] % 64, size - pos); // the chunk's first byte sets its size
        reader.append(reinterpret_cast<const char *>(data) + pos, qsizetype(n));
        while (auto f = reader.next()) {
            dispatch(*f, [&](const auto &packet) { // a frame the reader refused decodes as no packet
                const auto back = decode<std::decay_t<decltype(packet)>>(encode(f->objectId, packet).mid(kHeaderSize));
                if (!back || !(*back == packet))
                    std::abort();
            }, nullptr);
        }
    }
    return 0;
}

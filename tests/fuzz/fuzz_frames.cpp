// Arbitrary bytes in arbitrary chunks through the frame reader; every frame that decodes as the packet of its type
// (any type of the list) survives a re-encode with its object id.
#include "ProbeProtocol.h"

#include <cstdlib>

namespace {
using namespace Pelorin::Wire;

void again(const FrameReader::Frame &frame)
{
    dispatch(frame, [&](const auto &packet) {
        FrameReader reader;
        reader.append(encode(frame.objectId, packet));
        const std::optional<FrameReader::Frame> back = reader.next();
        const auto decoded = back ? decode<std::decay_t<decltype(packet)>>(back->payload) : std::nullopt;
        if (!decoded || !(*decoded == packet) || back->objectId != frame.objectId)
            std::abort();
    }, nullptr);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FrameReader reader;
    for (size_t pos = 0, n = 0; pos < size; pos += n) {
        n = std::min<size_t>(1 + data[pos] % 64, size - pos); // the chunk's first byte sets its size
        reader.append(reinterpret_cast<const char *>(data) + pos, qsizetype(n));
        while (auto f = reader.next()) {
            if (f->error.isEmpty())
                again(*f);
        }
    }
    return 0;
}

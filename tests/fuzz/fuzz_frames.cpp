// Arbitrary bytes in arbitrary chunks through the frame reader; every packet that decodes survives a re-encode.
#include "ProbeProtocol.h"

#include <cstdlib>

namespace {
using namespace Pelorin::Wire;

// Re-encodes the payload as the packet of its type, if it decodes as one.
template <class... P>
void again(Type type, const QByteArray &payload)
{
    const auto one = [&](auto packet) {
        if (type != decltype(packet)::kType)
            return;
        if (const auto p = decode<decltype(packet)>(payload)) {
            const auto back = decode<decltype(packet)>(encode(*p).mid(4));
            if (!back || !(*back == *p))
                std::abort();
        }
    };
    (one(P{}), ...);
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
                again<Create, Release, HttpRequest, PingRequest, EventReturn, MessageBoxAnswer, Greeting, PingResponse,
                      HttpReqResponse, MessageBox, ProtocolError>(f->type, f->payload);
        }
    }
    return 0;
}

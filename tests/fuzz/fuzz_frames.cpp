// Arbitrary bytes in arbitrary chunks through the frame reader; every packet that decodes survives a re-encode.
#include "ProbeProtocol.h"

#include <cstdlib>

namespace {
using namespace Pelorin::Wire;

template <class P>
void again(const QByteArray &payload)
{
    if (const auto p = decode<P>(payload)) {
        const auto back = decode<P>(encode(*p).mid(4));
        if (!back || !(*back == *p))
            std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FrameReader reader;
    for (size_t pos = 0, n = 0; pos < size; pos += n) {
        n = std::min<size_t>(1 + data[pos] % 64, size - pos); // the chunk's first byte sets its size
        reader.append(reinterpret_cast<const char *>(data) + pos, qsizetype(n));
        while (auto f = reader.next()) {
            if (!f->error.isEmpty())
                continue;
            switch (f->type) {
            case Type::Create: again<Create>(f->payload); break;
            case Type::Release: again<Release>(f->payload); break;
            case Type::HttpRequest: again<HttpRequest>(f->payload); break;
            case Type::PingRequest: again<PingRequest>(f->payload); break;
            case Type::EventReturn: again<EventReturn>(f->payload); break;
            case Type::MessageBoxAnswer: again<MessageBoxAnswer>(f->payload); break;
            case Type::Greeting: again<Greeting>(f->payload); break;
            case Type::PingResponse: again<PingResponse>(f->payload); break;
            case Type::HttpReqResponse: again<HttpReqResponse>(f->payload); break;
            case Type::MessageBox: again<MessageBox>(f->payload); break;
            case Type::ProtocolError: again<ProtocolError>(f->payload); break;
            }
        }
    }
    return 0;
}

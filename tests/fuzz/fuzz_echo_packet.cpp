// Any bytes through the echo reply reader, as a raw socket (IP header first: options, truncated headers, ICMP
// errors quoting a header of their own, every type and code) and as a datagram socket sees them. The first two
// bytes are the identifier looked for. It must classify, never read past the packet or crash.
#include "EchoPacket.h"

#include <netinet/in.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const quint16 identifier = quint16(data[0] | data[1] << 8);
    const std::size_t length = size - 2;
    sockaddr_in from {};
    for (const Pelorin::EchoRoute::Packet &p : {Pelorin::EchoRoute::readRaw(identifier, data + 2, length),
                                                Pelorin::EchoRoute::readDatagram(identifier, data + 2, length, from)}) {
        if (std::size_t(p.data.size()) > length)
            std::abort();
        (void)Pelorin::EchoRoute::answers(p, p.sequence, p.peer, p.data);
    }
    return 0;
}

// A device's Content-Type and body, any bytes, through the charset reading and the decoding to text: never a crash,
// and a UTF-8 body without a charset comes back byte for byte.
// Input: one length byte, that many bytes of Content-Type, then the body.
#include "HttpBody.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray contentType = input.mid(1, size ? data[0] : 0);
    const QByteArray body = input.mid(1 + contentType.size());
    const QString text = Pelorin::decodeBody(body, contentType);
    const bool plainUtf8 = Pelorin::charsetOf(contentType).isEmpty() && QString::fromUtf8(body).toUtf8() == body;
    if (plainUtf8 && text.toUtf8() != body)
        std::abort();
    return 0;
}

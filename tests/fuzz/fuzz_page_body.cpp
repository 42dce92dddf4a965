// A page's bytes with any declared Content-Type through the charset reading and the decoding to text: the charset
// is a piece of the Content-Type, and a UTF-8 body without a charset comes back byte for byte.
// Input: one length byte, that many bytes of Content-Type, then the body.
#include "HttpBody.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const auto *bytes = reinterpret_cast<const char *>(data);
    const size_t typeSize = std::min<size_t>(data[0], size - 1);
    const QByteArray contentType(bytes + 1, qsizetype(typeSize));
    const QByteArray body(bytes + 1 + typeSize, qsizetype(size - 1 - typeSize));
    const QByteArray charset = Pelorin::charsetOf(contentType);
    if (!contentType.contains(charset))
        std::abort();
    const QString text = Pelorin::decodeBody(body, contentType);
    const bool wholeUtf8 = QString::fromUtf8(body).toUtf8() == body;
    if (charset.isEmpty() && wholeUtf8 && text.toUtf8() != body)
        std::abort();
    return 0;
}

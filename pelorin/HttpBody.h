// The rules that turn what a page fetch received into the page's text: whether
// the transfer brought a page at all, and how its bytes become text. Pure
// functions, used by HttpClient once a transfer has ended.
#pragma once

#include <QByteArray>
#include <QString>

namespace Pelorin {

// How one transfer ended, as far as the body rules care.
struct TransferEnd {
    bool transportError = false; // reset, close, broken framing, refused, time-out...
    bool capped = false;         // the body reached the cap and the client hung up
    qint64 declaredLength = -1;  // Content-Length, -1 when none was given
    qint64 received = 0;         // body bytes that arrived
};

// A cut-off transfer brings no page: a transport error, or a body shorter than
// its declared length. A body cut at the cap on purpose is a page. An HTTP
// error status is no transport error: its body is a page like any other.
bool bodyIsPage(const TransferEnd &end);

// The charset parameter of a Content-Type, quotes taken off; empty when none.
QByteArray charsetOf(const QByteArray &contentType);

// The body as text: in the charset of the Content-Type, else (none, or one not
// known here) UTF-8. A multi-byte sequence cut at the end becomes a replacement character.
QString decodeBody(const QByteArray &body, const QByteArray &contentType);

} // namespace Pelorin

#include "HttpBody.h"

#include <QList>
#include <QStringDecoder>

namespace Pelorin {

bool bodyIsPage(const TransferEnd &end)
{
    if (end.capped)
        return true;
    if (end.transportError)
        return false;
    return end.declaredLength < 0 || end.received >= end.declaredLength;
}

namespace {

QByteArray charsetOf(const QByteArray &contentType)
{
    for (const QByteArray &param : contentType.split(';')) {
        const QByteArray p = param.trimmed();
        if (p.size() > 8 && p.left(8).toLower() == "charset=") {
            QByteArray charset = p.mid(8).trimmed();
            if (charset.size() >= 2 && charset.startsWith('"') && charset.endsWith('"'))
                charset = charset.mid(1, charset.size() - 2);
            return charset;
        }
    }
    return {};
}

} // namespace

QString decodeBody(const QByteArray &body, const QByteArray &contentType)
{
    const QByteArray charset = charsetOf(contentType);
    if (!charset.isEmpty()) {
        // Stateless: a sequence cut off at the end of the body becomes a
        // replacement character instead of vanishing.
        QStringDecoder decoder(charset.constData(), QStringConverter::Flag::Stateless);
        if (decoder.isValid())
            return decoder.decode(body);
    }
    return QString::fromUtf8(body);
}

} // namespace Pelorin

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

namespace {

// How many bytes at the end of body start a UTF-8 sequence that the body cuts
// off (0 when it ends on a whole character or on bytes that are no sequence).
qsizetype cutUtf8Tail(const QByteArray &body)
{
    for (qsizetype back = 1; back <= 3 && back <= body.size(); ++back) {
        const uchar c = uchar(body.at(body.size() - back));
        if ((c & 0xC0) == 0x80)
            continue;
        const int length = (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

// A sequence cut off at the end becomes one replacement character.
QString fromUtf8(const QByteArray &body)
{
    const qsizetype cut = cutUtf8Tail(body);
    QString text = QString::fromUtf8(body.constData(), body.size() - cut);
    if (cut)
        text += QChar(QChar::ReplacementCharacter);
    return text;
}

} // namespace

QString decodeBody(const QByteArray &body, const QByteArray &contentType)
{
    const QByteArray charset = charsetOf(contentType);
    if (!charset.isEmpty() && QStringConverter::encodingForName(charset.constData()) != QStringConverter::Utf8) {
        // Stateless: a sequence cut off at the end of the body becomes
        // replacement text instead of vanishing.
        QStringDecoder decoder(charset.constData(), QStringConverter::Flag::Stateless);
        if (decoder.isValid())
            return decoder.decode(body);
    }
    return fromUtf8(body);
}

} // namespace Pelorin

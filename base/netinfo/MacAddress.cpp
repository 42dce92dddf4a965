#include "netinfo/MacAddress.h"

namespace MacAddress {

namespace {

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

} // namespace

std::optional<quint64> parse(QStringView text)
{
    if (text.size() != 17)
        return std::nullopt;
    const QChar separator = text[2];
    if (separator != u':' && separator != u'-')
        return std::nullopt;
    quint64 mac = 0;
    for (int byte = 0; byte < 6; ++byte) {
        const int at = byte * 3;
        if (byte > 0 && text[at - 1] != separator)
            return std::nullopt;
        const int high = hexDigit(text[at]);
        const int low = hexDigit(text[at + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        mac = (mac << 8) | quint64(high << 4 | low);
    }
    return mac;
}

QString text(quint64 mac)
{
    static const char digits[] = "0123456789ABCDEF";
    QString out(17, u':');
    for (int byte = 0; byte < 6; ++byte) {
        const unsigned value = unsigned(mac >> (8 * (5 - byte))) & 0xFF;
        out[byte * 3] = QLatin1Char(digits[value >> 4]);
        out[byte * 3 + 1] = QLatin1Char(digits[value & 0xF]);
    }
    return out;
}

} // namespace MacAddress

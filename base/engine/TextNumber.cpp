// Numbers typed by the operator: reading the decimal number a text begins with
// ("&H64" is no number and reads as 0),
// writing a number back as short text, and rounding to the integer types.
#include "engine/TextNumber.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace TextNumber {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Walks a text while skipping blanks, so the readers below see only the
// characters that count.
class Cursor
{
public:
    explicit Cursor(const QString &text) : m_text(text) { skip(); }
    bool atEnd() const { return m_pos >= m_text.size(); }
    QChar peek() const { return atEnd() ? QChar() : m_text.at(m_pos); }
    void next()
    {
        ++m_pos;
        skip();
    }

private:
    void skip()
    {
        while (m_pos < m_text.size() && isBlank(m_text.at(m_pos)))
            ++m_pos;
    }
    const QString &m_text;
    qsizetype m_pos = 0;
};

} // namespace

double toNumber(const QString &text)
{
    Cursor c(text);

    // Mantissa digits are collected without leading zeros; only the first
    // few hundred matter for a double, the rest only move the exponent.
    constexpr int kMaxDigits = 800;
    std::string digits;
    long long pointShift = 0; // decimal exponent adjustment from the position of the point
    bool negative = false;
    bool anyDigit = false;

    if (c.peek() == u'+' || c.peek() == u'-') {
        negative = c.peek() == u'-';
        c.next();
    }
    while (isDigit(c.peek())) {
        anyDigit = true;
        const char d = char(c.peek().unicode());
        if (!(digits.empty() && d == '0')) {
            if (int(digits.size()) < kMaxDigits)
                digits.push_back(d);
            else
                ++pointShift;
        }
        c.next();
    }
    if (c.peek() == u'.') {
        c.next();
        while (isDigit(c.peek())) {
            anyDigit = true;
            const char d = char(c.peek().unicode());
            if (digits.empty() && d == '0') {
                --pointShift;
            } else if (int(digits.size()) < kMaxDigits) {
                digits.push_back(d);
                --pointShift;
            }
            c.next();
        }
    }
    if (!anyDigit)
        return 0.0;

    long long exponent = 0;
    const QChar e = c.peek().toUpper();
    if (e == u'E' || e == u'D') {
        c.next();
        bool expNegative = false;
        if (c.peek() == u'+' || c.peek() == u'-') {
            expNegative = c.peek() == u'-';
            c.next();
        }
        while (isDigit(c.peek())) {
            if (exponent < 1000000)
                exponent = exponent * 10 + (c.peek().unicode() - u'0');
            c.next();
        }
        if (expNegative)
            exponent = -exponent;
    }

    if (digits.empty())
        return negative ? -0.0 : 0.0;

    const long long totalExponent = exponent + pointShift;
    // Magnitude is digits.size() + totalExponent decimal places left of the point.
    const long long magnitude = static_cast<long long>(digits.size()) + totalExponent;
    double value;
    if (magnitude > 400) {
        value = std::numeric_limits<double>::max();
    } else if (magnitude < -400) {
        value = 0.0;
    } else {
        const std::string number = digits + "e" + std::to_string(totalExponent);
        const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
        if (result.ec == std::errc::result_out_of_range)
            value = magnitude > 0 ? std::numeric_limits<double>::max() : 0.0;
        else if (result.ec != std::errc())
            value = 0.0;
    }
    return negative ? -value : value;
}

QString fromNumber(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    if (value == 0.0)
        return QStringLiteral("0");

    char buffer[400];
    const double magnitude = std::fabs(value);
    const bool fixed = magnitude >= 1e-5 && magnitude < 1e15;
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      fixed ? std::chars_format::fixed : std::chars_format::scientific);
    QString text = QString::fromLatin1(buffer, result.ptr - buffer);
    if (!fixed)
        text = text.toUpper();
    return text;
}

namespace {

double roundHalfEven(double value)
{
    if (!std::isfinite(value))
        return value;
    const double floor = std::floor(value);
    const double diff = value - floor;
    if (diff < 0.5)
        return floor;
    if (diff > 0.5)
        return floor + 1.0;
    return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

template <typename T>
T toIntegral(double value, bool *ok)
{
    const double rounded = roundHalfEven(value);
    constexpr double lo = double(std::numeric_limits<T>::min());
    constexpr double hi = double(std::numeric_limits<T>::max());
    const bool inRange = rounded >= lo && rounded <= hi;
    if (ok)
        *ok = inRange;
    if (inRange)
        return T(rounded);
    if (std::isnan(rounded))
        return T(0);
    return rounded < lo ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
}

} // namespace

qint32 toInt32(double value, bool *ok)
{
    return toIntegral<qint32>(value, ok);
}

quint8 toUInt8(double value, bool *ok)
{
    return toIntegral<quint8>(value, ok);
}

} // namespace TextNumber

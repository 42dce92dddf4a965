// How the window reads and writes numbers in its text boxes: the decimal
// number a text begins with (blanks anywhere ignored, 0 when there is none),
// written back as shortest decimal text, and converted to integers by rounding
// to the nearest, ties to the even neighbour.
#pragma once

#include <QString>

namespace TextNumber {

double Val(const QString &text);
QString Str(double value);             // shortest decimal text, no leading blank
qint32 ToLong(double value, bool *ok = nullptr);   // round half to even; ok false when out of range
quint8 ToByte(double value, bool *ok = nullptr);   // round half to even; ok false when out of range
double RoundHalfEven(double value);

} // namespace TextNumber

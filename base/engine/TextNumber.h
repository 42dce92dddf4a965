// How the window reads and writes numbers in its text boxes: the decimal
// number a text begins with (blanks anywhere ignored, 0 when there is none),
// written back as shortest decimal text, and converted to integers by rounding
// to the nearest, ties to the even neighbour.
#pragma once

#include <QString>

namespace TextNumber {

double toNumber(const QString &text);    // the decimal number the text begins with, 0 when none
QString fromNumber(double value);        // shortest decimal text that reads back the same, no leading blank
qint32 toInt32(double value, bool *ok = nullptr);  // round half to even; ok false when out of range
quint8 toUInt8(double value, bool *ok = nullptr);  // round half to even; ok false when out of range

} // namespace TextNumber

// Hardware (MAC) addresses as 48-bit values, and their one text form
// "AA:BB:CC:DD:EE:FF" that the window, Copy and CSV show.
#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace MacAddress {

// Six two-digit hex bytes separated by ':' or '-', either case, nothing else;
// nullopt for anything else.
std::optional<quint64> parse(QStringView text);

// Upper-case, colon-separated text of the low 48 bits of mac.
QString text(quint64 mac);

// The maker's part: the first three bytes, as registered with the IEEE.
inline quint32 prefix(quint64 mac) { return quint32(mac >> 24); }

} // namespace MacAddress

// Listed hosts as text: the aligned table, CSV (RFC 4180, CRLF, UTF-8), JSON
// Lines and the window's copied lines (tab-separated). One module for every
// place that writes results out: the command line, the window's Copy and its
// Save as CSV. Each host is one line, so a host can be written as soon as its
// row is complete.
#pragma once

#include "engine/HostRecord.h"

#include <QString>

#include <optional>

namespace ResultFormat {

// TabSeparated is what the window copies: the ping time as the list shows it,
// line breaks and tabs inside a value as one blank each, no header.
// Device text leaves by one rule in every format but JSON Lines: a control
// character other than tab, CR and LF (C0, DEL, C1) is written as "\x1b"; the
// table writes tab, CR and LF as "\t", "\r", "\n". JSON Lines escape all of
// them as JSON does, so they read back exact.
enum class Format { Table, Csv, JsonLines, TabSeparated };

// "table", "csv" or "jsonl".
std::optional<Format> parse(const QString &name);

// The ping time as the result list shows it: "<0 ms", "12 ms".
QString pingText(qint16 pingTime);

// The header, line end included; empty for JSON Lines and tab-separated lines.
// withName adds the name column after the host (not to tab-separated lines).
QString header(Format format, bool withName = false);
// One host, line end included, with how it was seen (echo or arp; not in
// tab-separated lines, which copy the window's columns); with a name (empty
// when the host has none) as the second field. CSV cells and copied values
// that a spreadsheet would take for a formula get a leading apostrophe; JSON
// Lines carry every value as it is.
QString line(Format format, const HostRecord &record, const std::optional<QString> &name = std::nullopt);

} // namespace ResultFormat

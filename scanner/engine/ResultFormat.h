// Listed hosts as text: the aligned table, CSV (RFC 4180, CRLF, UTF-8) and JSON
// Lines. One module for every place that writes results out (the command
// line now, the window's copy and save later). Each host is one line, so a
// host can be written as soon as its row is complete.
#pragma once

#include "HostRecord.h"

#include <QString>

#include <optional>

namespace ResultFormat {

enum class Format { Table, Csv, JsonLines };

// "table", "csv" or "jsonl".
std::optional<Format> parse(const QString &name);

// The ping time as the result list shows it: "<0 ms", "12 ms".
QString pingText(qint16 pingTime);

// The header, line end included; empty for JSON Lines.
QString header(Format format);
// One host, line end included.
QString line(Format format, const HostRecord &record);

} // namespace ResultFormat

// The probe server's published identity and constants: the type library, the
// probe object's class, the message-box styles that travel to the client and
// the echo statuses. Owned by the probe server; the scanner includes it the way
// a client imports a server's type library. The methods and events travel as
// the packets of ProbeProtocol.h.
#pragma once

#include <QString>

namespace Pelorin {

// Type library
inline constexpr const char *kLibraryName = "Pelorin";
inline constexpr const char *kLibraryId = "{FAADF142-8494-4401-85E7-BFAF83F534F1}";
inline constexpr quint16 kLibraryMajor = 6;
inline constexpr quint16 kLibraryMinor = 0;

// The probe object's class, the only creatable one.
inline constexpr const char *kClsMainClassId = "{29FB2761-14E2-43BB-8E5D-B408888881ED}";

// Message box styles and answers, with the classic numeric values.
namespace MsgBox {
inline constexpr qint32 OKOnly = 0;
inline constexpr qint32 YesNo = 4;
inline constexpr qint32 Critical = 16;
inline constexpr qint32 Question = 32;
inline constexpr qint32 Exclamation = 48;
inline constexpr qint32 Information = 64;
inline constexpr qint32 ButtonsMask = 0x0F;
inline constexpr qint32 IconMask = 0xF0;

inline constexpr qint32 AnswerOK = 1;
inline constexpr qint32 AnswerYes = 6;
inline constexpr qint32 AnswerNo = 7;
} // namespace MsgBox

// The status of one echo exchange, with the classic numbers a failed ping
// reports: a PingResponse's negative time is minus one of them.
namespace IpStatus {
inline constexpr quint32 Success = 0;
inline constexpr quint32 DestNetUnreachable = 11002;
inline constexpr quint32 DestHostUnreachable = 11003;
inline constexpr quint32 RequestTimedOut = 11010;
inline constexpr quint32 BadDestination = 11018;
inline constexpr quint32 GeneralFailure = 11050;
} // namespace IpStatus

} // namespace Pelorin

// The probe server's published interface: the type library's identifiers,
// the dispatch ids of clsMain's methods and events, and the message-box styles
// that travel to the client. Owned by the probe server; the scanner includes it
// the way a client imports a server's type library.
#pragma once

#include <QtGlobal>

namespace Pelorin {

// Type library
inline constexpr const char *kLibraryName = "Pelorin";
inline constexpr const char *kLibraryId = "{FAADF142-8494-4401-85E7-BFAF83F534F1}";
inline constexpr quint16 kLibraryMajor = 6;
inline constexpr quint16 kLibraryMinor = 0;
inline constexpr quint32 kLibraryLocale = 0x409;

// Probe object
inline constexpr const char *kClsMainClassId = "{29FB2761-14E2-43BB-8E5D-B408888881ED}";
inline constexpr const char *kClsMainInterfaceId = "{9B393664-03E6-4684-80FC-C878CCB023EE}";
inline constexpr const char *kClsMainEventsId = "{72E475D0-82D1-4C1F-8855-82530AB38697}";

// Callback timer (created only inside the server)
inline constexpr const char *kClsTimerClassId = "{D3301CB9-372E-4631-9723-80BEBA88C1A8}";
inline constexpr const char *kClsTimerInterfaceId = "{E216AB1D-8DB7-4FA2-9D50-803929B723F0}";
inline constexpr const char *kClsTimerEventsId = "{1DEEF61C-EC02-4A6E-84DD-E63F9371D34E}";

namespace DispId {
// _clsMain methods
inline constexpr qint32 HTTPRequest = 0x60030000;
inline constexpr qint32 PingRequest = 0x60030001;
// __clsMain events
inline constexpr qint32 PingResponse = 1;
inline constexpr qint32 HTTPReqResponse = 2;
// _clsTimer properties and __clsTimer event
inline constexpr qint32 TimerEnabled = 0x68030000;
inline constexpr qint32 TimerInterval = 0x68030001;
inline constexpr qint32 TimerEvent = 1;
} // namespace DispId

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

} // namespace Pelorin

// The object protocol between Lanterra and Pelorin, spoken over the server's
// stdin (client to server) and stdout (server to client).
//
// Every frame is a header (a 4-byte little-endian length of what follows it, a
// one-byte packet type, the 4-byte id of the object concerned, 0 for none)
// followed by the packet's fields. Numbers are little-endian,
// texts are a 4-byte byte count followed by UTF-8. Frames above kMaxFrame are
// refused (and skipped, so the stream stays in step). Each message is a packet
// type of its own that writes and reads its fields; a receiver switches on the
// frame's type and decodes the packet of that type.
#pragma once

#include "ProbeInterface.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstring>
#include <optional>
#include <tuple>

namespace Pelorin::Wire {

inline constexpr quint32 kMaxFrame = 16u * 1024u * 1024u;

// Every packet type, once: the packet of that name and its type byte. Client
// to server below 0x80, server to client from 0x81. The enum, typeName,
// dispatch() and the frame fuzzer are made from this list.
#define PELORIN_PACKET_TYPES(X) \
    X(Create, 0x01)             \
    X(Release, 0x02)            \
    X(HttpRequest, 0x03)        \
    X(PingRequest, 0x04)        \
    X(EventReturn, 0x05)        \
    X(MessageBoxAnswer, 0x06)   \
    X(ArpSweep, 0x07)           \
    X(Greeting, 0x81)           \
    X(PingResponse, 0x82)       \
    X(HttpReqResponse, 0x83)    \
    X(MessageBox, 0x84)         \
    X(ProtocolError, 0x85)      \
    X(ArpSweepResult, 0x86)     \
    X(ArpSweepAnswers, 0x87)

enum class Type : quint8 {
#define PELORIN_ENUM(Name, value) Name = value,
    PELORIN_PACKET_TYPES(PELORIN_ENUM)
#undef PELORIN_ENUM
};

constexpr bool isFromServer(Type type) { return quint8(type) & 0x80; }
const char *typeName(Type type); // "unknown" for a byte that is no type

// Appends fields to a payload.
class Writer
{
public:
    Writer &operator<<(quint8 v) { return raw(&v, 1); }
    Writer &operator<<(bool v) { return *this << quint8(v ? 1 : 0); }
    Writer &operator<<(quint16 v) { return raw(&v, 2); }
    Writer &operator<<(qint16 v) { return raw(&v, 2); }
    Writer &operator<<(quint32 v) { return raw(&v, 4); }
    Writer &operator<<(qint32 v) { return raw(&v, 4); }
    Writer &operator<<(const QString &s);
    Writer &operator<<(const QList<quint32> &list); // a 4-byte count, then the numbers
    QByteArray &bytes() { return m_out; }

private:
    Writer &raw(const void *p, int n);
    QByteArray m_out;
};

// Takes fields from a payload; false (and every later read false) once one
// does not fit.
class Reader
{
public:
    explicit Reader(const QByteArray &in, qsizetype pos = 0) : m_in(in), m_pos(pos) {}
    Reader &operator>>(quint8 &v) { return raw(&v, 1); }
    Reader &operator>>(bool &v);
    Reader &operator>>(quint16 &v) { return raw(&v, 2); }
    Reader &operator>>(qint16 &v) { return raw(&v, 2); }
    Reader &operator>>(quint32 &v) { return raw(&v, 4); }
    Reader &operator>>(qint32 &v) { return raw(&v, 4); }
    Reader &operator>>(QString &s);
    Reader &operator>>(QList<quint32> &list);
    explicit operator bool() const { return m_ok; }
    bool atEnd() const { return m_pos == m_in.size(); }
    QString error() const { return m_error; }

private:
    Reader &raw(void *p, int n);
    const QByteArray &m_in;
    qsizetype m_pos;
    bool m_ok = true;
    QString m_error;
};

// A packet's type, its fields in wire order, and how it writes and reads them.
#define PELORIN_PACKET(Name, ...)                                                          \
    static constexpr Type kType = Type::Name;                                             \
    static constexpr bool kFromServer = isFromServer(kType);                              \
    auto fields() const { return std::tie(__VA_ARGS__); }                                 \
    auto fields() { return std::tie(__VA_ARGS__); }                                       \
    void write(Writer &w) const { std::apply([&](const auto &...f) { (void)(w << ... << f); }, fields()); } \
    bool read(Reader &r) { return bool(std::apply([&](auto &...f) -> Reader & { return (r >> ... >> f); }, fields())); } \
    bool operator==(const Name &) const = default;

// Client to server. The frame's object id names the object (ids start at 1).
struct Create {
    QString classId;
    PELORIN_PACKET(Create, classId)
};
struct Release {
    PELORIN_PACKET(Release)
};
// The probe object's two methods, arguments in call order.
struct HttpRequest {
    QString host;
    qint32 port = 0;
    QString file; // the path without its leading "/"
    qint32 timeOut = 0;
    quint8 retries = 0;
    PELORIN_PACKET(HttpRequest, host, port, file, timeOut, retries)
};
struct PingRequest {
    QString ip;
    qint32 timeOut = 0;
    quint8 retries = 0;
    PELORIN_PACKET(PingRequest, ip, timeOut, retries)
};
struct EventReturn {
    quint32 serial = 0; // of the event handled
    PELORIN_PACKET(EventReturn, serial)
};
struct MessageBoxAnswer { // object id 0: a box of no object
    quint32 serial = 0;
    qint32 answer = 0;
    PELORIN_PACKET(MessageBoxAnswer, serial, answer)
};
// Asks the server to find which targets on one of its segments answer ARP
// (addresses in host byte order); answered by an ArpSweepResult of the same id.
struct ArpSweep {
    quint32 sweepId = 0;
    qint32 interfaceIndex = 0;
    quint32 ownAddress = 0;
    QList<quint32> targets;
    qint32 timeOut = 0;
    PELORIN_PACKET(ArpSweep, sweepId, interfaceIndex, ownAddress, targets, timeOut)
};

// Server to client. The greeting comes first; an event or a box waits for its answer by serial.
struct Greeting {
    QString libraryId;
    quint16 major = 0;
    quint16 minor = 0;
    bool echoUsable = false;
    QString echoReason; // why echo can't be used, and how to allow it
    PELORIN_PACKET(Greeting, libraryId, major, minor, echoUsable, echoReason)
};
// The probe object's two events.
struct PingResponse {
    quint32 serial = 0;
    QString ip;
    qint16 pingTime = 0;
    PELORIN_PACKET(PingResponse, serial, ip, pingTime)
};
struct HttpReqResponse {
    quint32 serial = 0;
    QString host;
    QString rawData;
    PELORIN_PACKET(HttpReqResponse, serial, host, rawData)
};
struct MessageBox {
    quint32 serial = 0;
    qint32 style = 0; // MsgBox values
    QString text;
    QString title;
    PELORIN_PACKET(MessageBox, serial, style, text, title)
};
struct ProtocolError { // object id 0: no object
    QString text;
    PELORIN_PACKET(ProtocolError, text)
};

// usable false: the server may not send ARP (reason says how to allow it).
struct ArpSweepResult {
    quint32 sweepId = 0;
    bool usable = false;
    QString reason;
    QList<quint32> answered;
    PELORIN_PACKET(ArpSweepResult, sweepId, usable, reason, answered)
};
// Targets of a running sweep that have just answered, ahead of its ArpSweepResult (which lists them all again).
struct ArpSweepAnswers {
    quint32 sweepId = 0;
    QList<quint32> answered;
    PELORIN_PACKET(ArpSweepAnswers, sweepId, answered)
};

#undef PELORIN_PACKET

inline constexpr qsizetype kHeaderSize = 9; // length, type, object id

// A packet as a whole frame for the object objectId (0: none), header included.
template <class Packet>
QByteArray encode(quint32 objectId, const Packet &packet)
{
    Writer w;
    w << quint32(0) << quint8(Packet::kType) << objectId;
    packet.write(w);
    QByteArray &out = w.bytes();
    const quint32 length = quint32(out.size() - 4);
    std::memcpy(out.data(), &length, 4);
    return out;
}

// The packet of a frame's fields (what follows its header); nothing, and why
// in error, when they don't fit it exactly.
template <class Packet>
std::optional<Packet> decode(const QByteArray &fields, QString *error = nullptr)
{
    Reader r(fields);
    Packet packet;
    const bool ok = packet.read(r);
    if (ok && r.atEnd())
        return packet;
    if (error)
        *error = QStringLiteral("%1 frame %2").arg(QLatin1String(typeName(Packet::kType)),
                                                   ok ? QStringLiteral("has trailing bytes") : r.error());
    return std::nullopt;
}

// Cuts a byte stream into frames. Feed it what arrives; take frames with
// next() until it returns nothing.
class FrameReader
{
public:
    struct Frame {
        Type type = Type::ProtocolError;
        quint32 objectId = 0;
        QByteArray payload; // the fields, after the header
        QString error;      // set when the frame was refused; then the rest means nothing
    };

    void append(const char *data, qsizetype size);
    void append(const QByteArray &bytes) { append(bytes.constData(), bytes.size()); }
    std::optional<Frame> next();
    qsizetype buffered() const { return m_buffer.size() - m_offset; }

private:
    QByteArray m_buffer;
    qsizetype m_offset = 0;
    quint64 m_skip = 0; // bytes of a refused frame still to discard
};


// Decodes a frame's fields as the packet of its type and calls handle(packet).
// handle needs an overload for every packet type, or this does not compile.
// False, with why in error, for a byte that is no type or fields that don't fit.
template <class Handler>
bool dispatch(const FrameReader::Frame &frame, Handler &&handle, QString *error)
{
    switch (frame.type) {
#define PELORIN_DISPATCH(Name, value)                                  \
    case Type::Name:                                                   \
        if (const std::optional<Name> p = decode<Name>(frame.payload, error)) { \
            handle(*p);                                                \
            return true;                                               \
        }                                                              \
        return false;
        PELORIN_PACKET_TYPES(PELORIN_DISPATCH)
#undef PELORIN_DISPATCH
    }
    if (error)
        *error = QStringLiteral("unknown message type 0x%1").arg(quint8(frame.type), 2, 16, QLatin1Char('0'));
    return false;
}

} // namespace Pelorin::Wire

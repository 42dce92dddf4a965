// The object protocol between Lanterra and Pelorin, spoken over the server's
// stdin (client to server) and stdout (server to client).
//
// Every frame is a 4-byte little-endian payload length followed by the payload;
// the payload starts with a one-byte packet type. Numbers are little-endian,
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

enum class Type : quint8 {
    // client -> server
    Create = 0x01,
    Release = 0x02,
    HttpRequest = 0x03,
    PingRequest = 0x04,
    EventReturn = 0x05,
    MessageBoxAnswer = 0x06,
    ArpSweep = 0x07,
    // server -> client
    Greeting = 0x81,
    PingResponse = 0x82,
    HttpReqResponse = 0x83,
    MessageBox = 0x84,
    ProtocolError = 0x85,
    ArpSweepResult = 0x86,
    ArpSweepAnswers = 0x87,
};

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
    explicit Reader(const QByteArray &in, qsizetype pos = 1) : m_in(in), m_pos(pos) {}
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
    auto fields() const { return std::tie(__VA_ARGS__); }                                 \
    auto fields() { return std::tie(__VA_ARGS__); }                                       \
    void write(Writer &w) const { std::apply([&](const auto &...f) { (w << ... << f); }, fields()); } \
    bool read(Reader &r) { return bool(std::apply([&](auto &...f) -> Reader & { return (r >> ... >> f); }, fields())); } \
    bool operator==(const Name &) const = default;

// Client to server. Object ids start at 1.
struct Create {
    quint32 objectId = 0;
    QString classId;
    PELORIN_PACKET(Create, objectId, classId)
};
struct Release {
    quint32 objectId = 0;
    PELORIN_PACKET(Release, objectId)
};
struct HttpRequest {
    quint32 objectId = 0;
    Interface::HTTPRequest call;
    PELORIN_PACKET(HttpRequest, objectId, call.host, call.port, call.file, call.timeOut, call.retries)
};
struct PingRequest {
    quint32 objectId = 0;
    Interface::PingRequest call;
    PELORIN_PACKET(PingRequest, objectId, call.ip, call.timeOut, call.retries)
};
struct EventReturn {
    quint32 objectId = 0;
    quint32 serial = 0; // of the event handled
    PELORIN_PACKET(EventReturn, objectId, serial)
};
struct MessageBoxAnswer {
    quint32 objectId = 0; // 0: a box of no object
    quint32 serial = 0;
    qint32 answer = 0;
    PELORIN_PACKET(MessageBoxAnswer, objectId, serial, answer)
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
struct PingResponse {
    quint32 objectId = 0;
    quint32 serial = 0;
    Interface::PingResponse event;
    PELORIN_PACKET(PingResponse, objectId, serial, event.ip, event.pingTime)
};
struct HttpReqResponse {
    quint32 objectId = 0;
    quint32 serial = 0;
    Interface::HTTPReqResponse event;
    PELORIN_PACKET(HttpReqResponse, objectId, serial, event.host, event.rawData)
};
struct MessageBox {
    quint32 objectId = 0;
    quint32 serial = 0;
    qint32 style = 0; // MsgBox values
    QString text;
    QString title;
    PELORIN_PACKET(MessageBox, objectId, serial, style, text, title)
};
struct ProtocolError {
    quint32 objectId = 0; // 0: no object
    QString text;
    PELORIN_PACKET(ProtocolError, objectId, text)
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

// A packet as a whole frame, length prefix included.
template <class Packet>
QByteArray encode(const Packet &packet)
{
    Writer w;
    w << quint32(0) << quint8(Packet::kType);
    packet.write(w);
    QByteArray &out = w.bytes();
    const quint32 length = quint32(out.size() - 4);
    std::memcpy(out.data(), &length, 4);
    return out;
}

// The packet of a payload of its type (type byte first); nothing, and why in
// error, when the fields don't fit it exactly.
template <class Packet>
std::optional<Packet> decode(const QByteArray &payload, QString *error = nullptr)
{
    Reader r(payload);
    Packet packet;
    const bool ok = packet.read(r);
    if (ok && r.atEnd())
        return packet;
    if (error)
        *error = QStringLiteral("%1 frame %2").arg(QLatin1String(typeName(Packet::kType)),
                                                   ok ? QStringLiteral("has trailing bytes") : r.error());
    return std::nullopt;
}

// The object id a payload names (its first field after the type), 0 when none.
quint32 objectIdOf(const QByteArray &payload);

// Cuts a byte stream into frames. Feed it what arrives; take frames with
// next() until it returns nothing.
class FrameReader
{
public:
    struct Frame {
        Type type = Type::ProtocolError;
        QByteArray payload; // the type byte first
        QString error;      // set when the frame was refused; then type and payload mean nothing
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

} // namespace Pelorin::Wire

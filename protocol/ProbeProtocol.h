// The object protocol between Lanterra and Pelorin, spoken over the server's
// stdin (client to server) and stdout (server to client).
//
// Every frame is a 4-byte little-endian payload length followed by the payload;
// the payload starts with a one-byte message type. Numbers are little-endian,
// texts are a 4-byte byte count followed by UTF-8. Frames above kMaxFrame are
// refused (and skipped, so the stream stays in step).
#pragma once

#include "ProbeInterface.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace Pelorin::Wire {

inline constexpr quint32 kMaxFrame = 16u * 1024u * 1024u;

enum class Type : quint8 {
    // client -> server
    Create = 0x01,
    Release = 0x02,
    Call = 0x03,
    EventReturn = 0x04,
    MessageBoxAnswer = 0x05,
    // server -> client
    Greeting = 0x81,
    Event = 0x82,
    MessageBox = 0x83,
    ProtocolError = 0x84,
};

using Value = Interface::Value;

// One frame's content. Each field names the message types that carry it; the
// others leave it at its default.
struct Message {
    Type type = Type::ProtocolError;
    quint32 objectId = 0; // all but Greeting; 0 in a MessageBox or ProtocolError: no object
    quint32 serial = 0;   // Event and EventReturn: the raise; MessageBox and MessageBoxAnswer: the box
    qint32 dispId = 0;    // Call: the method; Event: the event
    QList<Value> args;    // Call, Event
    QString classId;      // Create
    QString text;         // MessageBox, ProtocolError
    QString title;        // MessageBox
    qint32 style = 0;     // MessageBox (MsgBox values)
    qint32 answer = 0;    // MessageBoxAnswer
    QString libraryId;    // Greeting, with major and minor
    quint16 major = 0;
    quint16 minor = 0;
    bool echoUsable = false; // Greeting
    QString echoReason;      // Greeting: why echo can't be used

    bool operator==(const Message &other) const;
};

// A Call of a method record, or an Event of an event record, with its arguments packed.
template <class Record>
Message invocation(Type type, quint32 objectId, const Record &record)
{
    Message m;
    m.type = type;
    m.objectId = objectId;
    m.dispId = Record::kDispId;
    m.args = Interface::pack(record);
    return m;
}

// Encodes a message as a whole frame, length prefix included.
QByteArray encode(const Message &message);

// Decodes one payload (without its length prefix). On failure returns nothing
// and, when error is given, says why.
std::optional<Message> decodePayload(const QByteArray &payload, QString *error = nullptr);

const char *typeName(Type type);

// Cuts a byte stream into frames. Feed it what arrives; take messages and
// errors with next() until it returns nothing.
class FrameReader
{
public:
    struct row {
        std::optional<Message> message; // set when a frame decoded
        QString error;                  // set when a frame was refused
    };

    void append(const char *data, qsizetype size);
    void append(const QByteArray &bytes) { append(bytes.constData(), bytes.size()); }
    std::optional<row> next();
    qsizetype buffered() const { return m_buffer.size() - m_offset; }

private:
    QByteArray m_buffer;
    qsizetype m_offset = 0;
    quint64 m_skip = 0; // bytes of a refused frame still to discard
};

} // namespace Pelorin::Wire

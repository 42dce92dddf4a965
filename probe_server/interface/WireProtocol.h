// The object protocol between Lanterra and Pelorin, spoken over the server's
// stdin (client to server) and stdout (server to client).
//
// Every frame is a 4-byte little-endian payload length followed by the payload;
// the payload starts with a one-byte message type. Numbers are little-endian,
// texts are a 4-byte byte count followed by UTF-8. Frames above kMaxFrame are
// refused (and skipped, so the stream stays in step).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <variant>

namespace Pelorin::Wire {

inline constexpr quint32 kMaxFrame = 16u * 1024u * 1024u;

enum class Type : quint8 {
    // client -> server
    Create = 0x01,           // objectId, text = class id
    Release = 0x02,          // objectId
    Call = 0x03,             // objectId, number = dispatch id, args
    EventReturn = 0x04,      // objectId, serial = raise id
    MessageBoxAnswer = 0x05, // objectId, serial = box id, number = answer
    // server -> client
    Greeting = 0x81,         // text = library id, major, minor, flag = echo usable, text2 = why not
    Event = 0x82,            // objectId, serial = raise id, number = dispatch id, args
    MessageBox = 0x83,       // objectId (0: none), serial = box id, number = style, text, text2 = title
    ProtocolError = 0x84,    // objectId (0: none), text
};

// An argument of a call or an event, typed as the interface declares it.
using Value = std::variant<QString, qint16, qint32, quint8>;

struct Message {
    Type type = Type::ProtocolError;
    quint32 objectId = 0;
    quint32 serial = 0;
    qint32 number = 0;
    QString text;
    QString text2;
    quint16 major = 0;
    quint16 minor = 0;
    bool flag = false;
    QList<Value> args;

    bool operator==(const Message &other) const;
};

// Encodes a message as a whole frame, length prefix included.
QByteArray encode(const Message &message);

// Decodes one payload (without its length prefix). On failure returns nothing
// and, when error is given, says why.
std::optional<Message> decodePayload(const QByteArray &payload, QString *error = nullptr);

const char *typeName(Type type);
QString describeValueType(const Value &value);

// Cuts a byte stream into frames. Feed it what arrives; take messages and
// errors with next() until it returns nothing.
class FrameReader
{
public:
    struct Item {
        std::optional<Message> message; // set when a frame decoded
        QString error;                  // set when a frame was refused
    };

    void append(const char *data, qsizetype size);
    void append(const QByteArray &bytes) { append(bytes.constData(), bytes.size()); }
    std::optional<Item> next();
    qsizetype buffered() const { return m_buffer.size() - m_offset; }

private:
    QByteArray m_buffer;
    qsizetype m_offset = 0;
    quint64 m_skip = 0; // bytes of a refused frame still to discard
};

} // namespace Pelorin::Wire

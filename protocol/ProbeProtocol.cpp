#include "ProbeProtocol.h"

#include <cstring>

namespace Pelorin::Wire {

namespace {

enum class ValueTag : quint8 { String = 1, I16 = 2, I32 = 3, U8 = 4 };
constexpr quint32 kMaxArgs = 16;

class Writer
{
public:
    void u8(quint8 v) { m_out.append(char(v)); }
    void u16(quint16 v) { raw(&v, 2); }
    void u32(quint32 v) { raw(&v, 4); }
    void i32(qint32 v) { raw(&v, 4); }
    void i16(qint16 v) { raw(&v, 2); }
    void text(const QString &s)
    {
        const QByteArray utf8 = s.toUtf8();
        u32(quint32(utf8.size()));
        m_out.append(utf8);
    }
    void value(const Value &v)
    {
        if (const auto *s = std::get_if<QString>(&v)) {
            u8(quint8(ValueTag::String));
            text(*s);
        } else if (const auto *a = std::get_if<qint16>(&v)) {
            u8(quint8(ValueTag::I16));
            i16(*a);
        } else if (const auto *b = std::get_if<qint32>(&v)) {
            u8(quint8(ValueTag::I32));
            i32(*b);
        } else {
            u8(quint8(ValueTag::U8));
            u8(std::get<quint8>(v));
        }
    }
    QByteArray &bytes() { return m_out; }

private:
    void raw(const void *p, int n)
    {
        // The protocol is little-endian; so is every machine this runs on.
        static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN);
        m_out.append(static_cast<const char *>(p), n);
    }
    QByteArray m_out;
};

class Reader
{
public:
    explicit Reader(const QByteArray &in) : m_in(in) {}

    bool u8(quint8 &v) { return raw(&v, 1); }
    bool u16(quint16 &v) { return raw(&v, 2); }
    bool u32(quint32 &v) { return raw(&v, 4); }
    bool i32(qint32 &v) { return raw(&v, 4); }
    bool i16(qint16 &v) { return raw(&v, 2); }
    bool text(QString &s)
    {
        quint32 n = 0;
        if (!u32(n) || n > quint32(m_in.size() - m_pos))
            return fail(QStringLiteral("text runs past the end of the frame"));
        s = QString::fromUtf8(m_in.constData() + m_pos, qsizetype(n));
        m_pos += n;
        return true;
    }
    bool value(Value &v)
    {
        quint8 tag = 0;
        if (!u8(tag))
            return false;
        switch (ValueTag(tag)) {
        case ValueTag::String: {
            QString s;
            if (!text(s))
                return false;
            v = s;
            return true;
        }
        case ValueTag::I16: {
            qint16 x = 0;
            if (!i16(x))
                return false;
            v = x;
            return true;
        }
        case ValueTag::I32: {
            qint32 x = 0;
            if (!i32(x))
                return false;
            v = x;
            return true;
        }
        case ValueTag::U8: {
            quint8 x = 0;
            if (!u8(x))
                return false;
            v = x;
            return true;
        }
        }
        return fail(QStringLiteral("unknown argument type %1").arg(tag));
    }
    bool args(QList<Value> &out)
    {
        quint32 n = 0;
        if (!u32(n))
            return false;
        if (n > kMaxArgs)
            return fail(QStringLiteral("too many arguments (%1)").arg(n));
        for (quint32 k = 0; k < n; ++k) {
            Value v;
            if (!value(v))
                return false;
            out.append(v);
        }
        return true;
    }
    bool atEnd() const { return m_pos == m_in.size(); }
    bool fail(const QString &why)
    {
        if (m_error.isEmpty())
            m_error = why;
        return false;
    }
    QString error() const { return m_error.isEmpty() ? QStringLiteral("frame too short") : m_error; }

private:
    bool raw(void *p, int n)
    {
        if (m_in.size() - m_pos < n)
            return false;
        std::memcpy(p, m_in.constData() + m_pos, size_t(n));
        m_pos += n;
        return true;
    }
    const QByteArray &m_in;
    qsizetype m_pos = 0;
    QString m_error;
};

} // namespace

bool Message::operator==(const Message &o) const
{
    return type == o.type && objectId == o.objectId && serial == o.serial && dispId == o.dispId
        && args == o.args && classId == o.classId && text == o.text && title == o.title && style == o.style
        && answer == o.answer && libraryId == o.libraryId && major == o.major && minor == o.minor
        && echoUsable == o.echoUsable && echoReason == o.echoReason;
}

const char *typeName(Type type)
{
    switch (type) {
    case Type::Create: return "Create";
    case Type::Release: return "Release";
    case Type::Call: return "Call";
    case Type::EventReturn: return "EventReturn";
    case Type::MessageBoxAnswer: return "MessageBoxAnswer";
    case Type::Greeting: return "Greeting";
    case Type::Event: return "Event";
    case Type::MessageBox: return "MessageBox";
    case Type::ProtocolError: return "ProtocolError";
    }
    return "unknown";
}

QByteArray encode(const Message &m)
{
    Writer w;
    w.u32(0); // length, filled in below
    w.u8(quint8(m.type));
    switch (m.type) {
    case Type::Create:
        w.u32(m.objectId);
        w.text(m.classId);
        break;
    case Type::Release:
        w.u32(m.objectId);
        break;
    case Type::Call:
    case Type::Event:
        w.u32(m.objectId);
        if (m.type == Type::Event)
            w.u32(m.serial);
        w.i32(m.dispId);
        w.u32(quint32(m.args.size()));
        for (const Value &v : m.args)
            w.value(v);
        break;
    case Type::EventReturn:
        w.u32(m.objectId);
        w.u32(m.serial);
        break;
    case Type::MessageBoxAnswer:
        w.u32(m.objectId);
        w.u32(m.serial);
        w.i32(m.answer);
        break;
    case Type::Greeting:
        w.text(m.libraryId);
        w.u16(m.major);
        w.u16(m.minor);
        w.u8(m.echoUsable ? 1 : 0);
        w.text(m.echoReason);
        break;
    case Type::MessageBox:
        w.u32(m.objectId);
        w.u32(m.serial);
        w.i32(m.style);
        w.text(m.text);
        w.text(m.title);
        break;
    case Type::ProtocolError:
        w.u32(m.objectId);
        w.text(m.text);
        break;
    }
    QByteArray &out = w.bytes();
    const quint32 length = quint32(out.size() - 4);
    std::memcpy(out.data(), &length, 4);
    return out;
}

std::optional<Message> decodePayload(const QByteArray &payload, QString *error)
{
    Reader r(payload);
    Message m;
    quint8 type = 0;
    bool ok = r.u8(type);
    m.type = Type(type);
    if (ok) {
        switch (m.type) {
        case Type::Create:
            ok = r.u32(m.objectId) && r.text(m.classId);
            break;
        case Type::Release:
            ok = r.u32(m.objectId);
            break;
        case Type::Call:
            ok = r.u32(m.objectId) && r.i32(m.dispId) && r.args(m.args);
            break;
        case Type::Event:
            ok = r.u32(m.objectId) && r.u32(m.serial) && r.i32(m.dispId) && r.args(m.args);
            break;
        case Type::EventReturn:
            ok = r.u32(m.objectId) && r.u32(m.serial);
            break;
        case Type::MessageBoxAnswer:
            ok = r.u32(m.objectId) && r.u32(m.serial) && r.i32(m.answer);
            break;
        case Type::Greeting: {
            quint8 flag = 0;
            ok = r.text(m.libraryId) && r.u16(m.major) && r.u16(m.minor) && r.u8(flag) && r.text(m.echoReason);
            m.echoUsable = flag != 0;
            break;
        }
        case Type::MessageBox:
            ok = r.u32(m.objectId) && r.u32(m.serial) && r.i32(m.style) && r.text(m.text)
                && r.text(m.title);
            break;
        case Type::ProtocolError:
            ok = r.u32(m.objectId) && r.text(m.text);
            break;
        default:
            ok = r.fail(QStringLiteral("unknown message type 0x%1").arg(type, 2, 16, QLatin1Char('0')));
        }
    }
    if (ok && !r.atEnd())
        ok = r.fail(QStringLiteral("%1 frame has trailing bytes").arg(QLatin1String(typeName(m.type))));
    if (!ok) {
        if (error)
            *error = payload.isEmpty() ? QStringLiteral("empty frame") : r.error();
        return std::nullopt;
    }
    return m;
}

void FrameReader::append(const char *data, qsizetype size)
{
    if (m_skip > 0) {
        const qsizetype dropped = qsizetype(qMin<quint64>(m_skip, quint64(size)));
        m_skip -= quint64(dropped);
        data += dropped;
        size -= dropped;
    }
    if (size > 0)
        m_buffer.append(data, size);
}

std::optional<FrameReader::row> FrameReader::next()
{
    if (m_skip > 0) {
        const qsizetype dropped = qsizetype(qMin<quint64>(m_skip, quint64(buffered())));
        m_skip -= quint64(dropped);
        m_offset += dropped;
    }
    if (m_offset > 0 && (m_offset >= m_buffer.size() || m_offset > 65536)) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    if (m_skip > 0 || buffered() < 4)
        return std::nullopt;

    quint32 length = 0;
    std::memcpy(&length, m_buffer.constData() + m_offset, 4);
    if (length > kMaxFrame) {
        m_offset += 4;
        m_skip = length;
        return row{std::nullopt, QStringLiteral("frame of %1 bytes exceeds the limit of %2 bytes; skipped")
                                      .arg(length)
                                      .arg(kMaxFrame)};
    }
    if (buffered() < qsizetype(4 + length))
        return std::nullopt;
    const QByteArray payload = m_buffer.mid(m_offset + 4, length);
    m_offset += 4 + length;
    QString error;
    std::optional<Message> m = decodePayload(payload, &error);
    if (m)
        return row{std::move(m), QString()};
    return row{std::nullopt, error};
}

} // namespace Pelorin::Wire

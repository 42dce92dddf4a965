#include "ProbeProtocol.h"

namespace Pelorin::Wire {

// The protocol is little-endian; so is every machine this runs on.
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN);

const char *typeName(Type type)
{
    switch (type) {
    case Type::Create: return "Create";
    case Type::Release: return "Release";
    case Type::HttpRequest: return "HTTPRequest";
    case Type::PingRequest: return "PingRequest";
    case Type::EventReturn: return "EventReturn";
    case Type::MessageBoxAnswer: return "MessageBoxAnswer";
    case Type::ArpSweep: return "ArpSweep";
    case Type::Greeting: return "Greeting";
    case Type::PingResponse: return "PingResponse";
    case Type::HttpReqResponse: return "HTTPReqResponse";
    case Type::MessageBox: return "MessageBox";
    case Type::ProtocolError: return "ProtocolError";
    case Type::ArpSweepResult: return "ArpSweepResult";
    case Type::ArpSweepAnswers: return "ArpSweepAnswers";
    }
    return "unknown";
}

Writer &Writer::operator<<(const QString &s)
{
    const QByteArray utf8 = s.toUtf8();
    *this << quint32(utf8.size());
    m_out.append(utf8);
    return *this;
}

Writer &Writer::operator<<(const QList<quint32> &list)
{
    *this << quint32(list.size());
    for (const quint32 value : list)
        *this << value;
    return *this;
}

Writer &Writer::raw(const void *p, int n)
{
    m_out.append(static_cast<const char *>(p), n);
    return *this;
}

Reader &Reader::operator>>(bool &v)
{
    quint8 byte = 0;
    *this >> byte;
    v = byte != 0;
    return *this;
}

Reader &Reader::operator>>(QList<quint32> &list)
{
    quint32 n = 0;
    if (!(*this >> n))
        return *this;
    if (n > quint32(m_in.size() - m_pos) / 4) {
        m_ok = false;
        m_error = QStringLiteral("list runs past the end of the frame");
        return *this;
    }
    list.resize(qsizetype(n));
    for (quint32 &value : list)
        *this >> value;
    return *this;
}

Reader &Reader::operator>>(QString &s)
{
    quint32 n = 0;
    if (!(*this >> n))
        return *this;
    if (n > quint32(m_in.size() - m_pos)) {
        m_ok = false;
        m_error = QStringLiteral("text runs past the end of the frame");
        return *this;
    }
    s = QString::fromUtf8(m_in.constData() + m_pos, qsizetype(n));
    m_pos += n;
    return *this;
}

Reader &Reader::raw(void *p, int n)
{
    if (!m_ok || m_in.size() - m_pos < n) {
        if (m_ok)
            m_error = QStringLiteral("is too short");
        m_ok = false;
        return *this;
    }
    std::memcpy(p, m_in.constData() + m_pos, size_t(n));
    m_pos += n;
    return *this;
}

quint32 objectIdOf(const QByteArray &payload)
{
    quint32 id = 0;
    if (payload.size() >= 5 && Type(payload.at(0)) != Type::Greeting)
        std::memcpy(&id, payload.constData() + 1, 4);
    return id;
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

std::optional<FrameReader::Frame> FrameReader::next()
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
    Frame frame;
    if (length > kMaxFrame) {
        m_offset += 4;
        m_skip = length;
        frame.error = QStringLiteral("frame of %1 bytes exceeds the limit of %2 bytes; skipped").arg(length).arg(kMaxFrame);
        return frame;
    }
    if (buffered() < qsizetype(4 + length))
        return std::nullopt;
    frame.payload = m_buffer.mid(m_offset + 4, length);
    m_offset += 4 + length;
    if (frame.payload.isEmpty())
        frame.error = QStringLiteral("empty frame");
    else
        frame.type = Type(quint8(frame.payload.at(0)));
    return frame;
}

} // namespace Pelorin::Wire

// The probe server's published interface: the type library's identity, the
// probe object's class, its two methods and two events as typed records, and
// the message-box styles that travel to the client. Owned by the probe server;
// the scanner includes it the way a client imports a server's type library.
//
// Each record is declared once here: its name, dispatch id and arguments. It
// packs itself into the argument list that crosses the pipe and unpacks itself
// from one, refusing a list of the wrong length or types with a reason.
#pragma once

#include <QList>
#include <QString>

#include <optional>
#include <tuple>
#include <utility>
#include <variant>

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

namespace Interface {

// An argument of a call or an event, typed as the interface declares it.
using Value = std::variant<QString, qint16, qint32, quint8>;

// How refusals name a value type.
template <class T> constexpr const char *typeName();
template <> constexpr const char *typeName<QString>() { return "text"; }
template <> constexpr const char *typeName<qint16>() { return "16-bit integer"; }
template <> constexpr const char *typeName<qint32>() { return "32-bit integer"; }
template <> constexpr const char *typeName<quint8>() { return "byte"; }
inline QString typeNameOf(const Value &value)
{
    return QLatin1String(std::visit([](const auto &v) { return typeName<std::decay_t<decltype(v)>>(); }, value));
}

// One argument of a record: its name and where the record keeps it.
template <class Record, class T>
struct Field {
    const char *name;
    T Record::*member;
};
#define PELORIN_FIELD(Record, member) \
    ::Pelorin::Interface::Field<Record, decltype(Record::member)> { #member, &Record::member }

// Methods of _clsMain. Arguments in call order.
struct HTTPRequest {
    static constexpr const char *kName = "HTTPRequest";
    static constexpr qint32 kDispId = 0x60030000;
    QString host;
    qint32 port = 0;
    QString file; // the path without its leading "/"
    qint32 timeOut = 0;
    quint8 retries = 0;
    static constexpr auto fields()
    {
        return std::tuple{PELORIN_FIELD(HTTPRequest, host), PELORIN_FIELD(HTTPRequest, port),
                          PELORIN_FIELD(HTTPRequest, file), PELORIN_FIELD(HTTPRequest, timeOut),
                          PELORIN_FIELD(HTTPRequest, retries)};
    }
};

struct PingRequest {
    static constexpr const char *kName = "PingRequest";
    static constexpr qint32 kDispId = 0x60030001;
    QString ip;
    qint32 timeOut = 0;
    quint8 retries = 0;
    static constexpr auto fields()
    {
        return std::tuple{PELORIN_FIELD(PingRequest, ip), PELORIN_FIELD(PingRequest, timeOut),
                          PELORIN_FIELD(PingRequest, retries)};
    }
};

// Events of __clsMain.
struct PingResponse {
    static constexpr const char *kName = "PingResponse";
    static constexpr qint32 kDispId = 1;
    QString ip;
    qint16 pingTime = 0;
    static constexpr auto fields()
    {
        return std::tuple{PELORIN_FIELD(PingResponse, ip), PELORIN_FIELD(PingResponse, pingTime)};
    }
};

struct HTTPReqResponse {
    static constexpr const char *kName = "HTTPReqResponse";
    static constexpr qint32 kDispId = 2;
    QString host;
    QString rawData;
    static constexpr auto fields()
    {
        return std::tuple{PELORIN_FIELD(HTTPReqResponse, host), PELORIN_FIELD(HTTPReqResponse, rawData)};
    }
};

#undef PELORIN_FIELD

using Method = std::variant<HTTPRequest, PingRequest>;
using Event = std::variant<PingResponse, HTTPReqResponse>;

template <class Record>
QList<Value> pack(const Record &record)
{
    QList<Value> out;
    std::apply([&](const auto &...f) { (out.append(Value(record.*(f.member))), ...); }, Record::fields());
    return out;
}

template <class Record>
std::optional<Record> unpack(const QList<Value> &args, QString *why)
{
    constexpr auto fields = Record::fields();
    constexpr qsizetype count = qsizetype(std::tuple_size_v<decltype(fields)>);
    if (args.size() != count) {
        *why = QStringLiteral("%1 takes %2 arguments, not %3")
                   .arg(QLatin1String(Record::kName))
                   .arg(count)
                   .arg(args.size());
        return std::nullopt;
    }
    Record record;
    qsizetype k = 0;
    auto take = [&](const auto &field) {
        using T = std::decay_t<decltype(record.*(field.member))>;
        const Value &v = args.at(k++);
        if (const T *x = std::get_if<T>(&v)) {
            record.*(field.member) = *x;
            return true;
        }
        *why = QStringLiteral("%1: argument %2 (%3) must be %4, not %5")
                   .arg(QLatin1String(Record::kName))
                   .arg(k)
                   .arg(QLatin1String(field.name), QLatin1String(typeName<T>()), typeNameOf(v));
        return false;
    };
    const bool ok = std::apply([&](const auto &...f) { return (take(f) && ...); }, fields);
    return ok ? std::optional<Record>(std::move(record)) : std::nullopt;
}

namespace Detail {
template <class Variant, size_t... I>
std::optional<Variant> unpackAny(qint32 dispId, const QList<Value> &args, QString *why, bool &known,
                                 std::index_sequence<I...>)
{
    std::optional<Variant> out;
    auto tryOne = [&](auto index) {
        using Record = std::variant_alternative_t<decltype(index)::value, Variant>;
        if (known || dispId != Record::kDispId)
            return;
        known = true;
        if (std::optional<Record> r = unpack<Record>(args, why))
            out = Variant(std::move(*r));
    };
    (tryOne(std::integral_constant<size_t, I>{}), ...);
    return out;
}
} // namespace Detail

// The record of one of the alternatives (Method or Event) that has dispId,
// unpacked from args; nothing, and why, when none has it or args don't fit.
template <class Variant>
std::optional<Variant> unpackAny(qint32 dispId, const QList<Value> &args, QString *why)
{
    bool known = false;
    std::optional<Variant> out = Detail::unpackAny<Variant>(dispId, args, why, known,
                                                            std::make_index_sequence<std::variant_size_v<Variant>>{});
    if (!known)
        *why = QStringLiteral("no %1 with dispatch id 0x%2")
                   .arg(QLatin1String(std::is_same_v<Variant, Method> ? "method" : "event"))
                   .arg(quint32(dispId), 8, 16, QLatin1Char('0'));
    return out;
}

template <class... Records>
qint32 dispIdOf(const std::variant<Records...> &v)
{
    return std::visit([](const auto &r) { return std::decay_t<decltype(r)>::kDispId; }, v);
}

template <class... Records>
QList<Value> packAny(const std::variant<Records...> &v)
{
    return std::visit([](const auto &r) { return pack(r); }, v);
}

} // namespace Interface

} // namespace Pelorin

#include "Ping.h"

#include "ProbeInterface.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <new>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

namespace Pelorin {

namespace {

// Run-time errors that the module's procedures trap, with their classic numbers.
namespace Err {
constexpr int Overflow = 6;
constexpr int OutOfMemory = 7;
constexpr int SubscriptOutOfRange = 9;
constexpr int TypeMismatch = 13;
constexpr int InternalError = 51;
} // namespace Err

struct RuntimeError {
    int number;
};

QString errorDescription(int number)
{
    switch (number) {
    case Err::Overflow:
        return QStringLiteral("Overflow");
    case Err::OutOfMemory:
        return QStringLiteral("Out of memory");
    case Err::SubscriptOutOfRange:
        return QStringLiteral("Subscript out of range");
    case Err::TypeMismatch:
        return QStringLiteral("Type mismatch");
    default:
        return QStringLiteral("Internal error");
    }
}

QString errorReport(const char *procedure, int number, int line)
{
    return QStringLiteral("Error ") + QString::number(number) + QStringLiteral(" (") + errorDescription(number)
        + QStringLiteral(") in procedure ") + QLatin1String(procedure) + QStringLiteral(" of Module Ping on line ")
        + QString::number(line);
}

// The number of the error being handled, inside a catch block.
int caughtError()
{
    try {
        throw;
    } catch (const RuntimeError &e) {
        return e.number;
    } catch (const std::bad_alloc &) {
        return Err::OutOfMemory;
    } catch (...) {
        return Err::InternalError;
    }
}

HostLookupFunction &hostLookup()
{
    static HostLookupFunction lookup;
    return lookup;
}

std::optional<QString> dottedAddress(const QByteArray &name)
{
    // A plain dotted address is its own answer; the resolver would only
    // spell it again the same way.
    in_addr numeric {};
    if (::inet_pton(AF_INET, name.constData(), &numeric) == 1)
        return QString::fromLatin1(name);
    return std::nullopt;
}

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

// Reads an address part as a whole number: blanks around, an optional sign,
// digits. Anything else, the empty part included, is a type mismatch; a value
// beyond the signed 32-bit range is an overflow. (A part never holds a ".", so
// there is no fraction to round.)
qint32 wholeNumber(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;

    bool negative = false;
    if (begin < end && (text.at(begin) == QLatin1Char('+') || text.at(begin) == QLatin1Char('-'))) {
        negative = text.at(begin) == QLatin1Char('-');
        ++begin;
    }
    if (begin == end)
        throw RuntimeError{Err::TypeMismatch};

    constexpr qint64 kCap = qint64(1) << 40; // far beyond the range; long digit runs stop growing here
    qint64 magnitude = 0;
    for (qsizetype i = begin; i < end; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            throw RuntimeError{Err::TypeMismatch};
        magnitude = std::min(kCap, magnitude * 10 + (c - u'0'));
    }
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX)
        throw RuntimeError{Err::Overflow};
    return static_cast<qint32>(value);
}

// The data of a request sent now. The local time is worked out once per
// second of the clock only: each working-out reads the time-zone file again.
QByteArray currentEchoData()
{
    static qint64 second = -1;
    static QByteArray data;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    if (ms / 1000 != second) {
        second = ms / 1000;
        data = echoRequestData(QDateTime::fromMSecsSinceEpoch(ms));
    }
    return data;
}

} // namespace

void setHostLookupForTesting(HostLookupFunction lookup)
{
    hostLookup() = std::move(lookup);
}

QString hostLookupText(const QString &host)
{
    QString work = host.toLower();
    work.remove(QStringLiteral("http://"), Qt::CaseSensitive);
    work = work.toLower();
    work.remove(QStringLiteral("www."), Qt::CaseSensitive);
    if (work.endsWith(QLatin1Char('/')))
        work.chop(1);
    return work;
}

std::optional<QString> resolveHostName(const QByteArray &name)
{
    if (const std::optional<QString> dotted = dottedAddress(name))
        return dotted;
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_RAW;
    addrinfo *found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found)
        return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    sockaddr_in address {};
    std::memcpy(&address, found->ai_addr, std::min<std::size_t>(sizeof address, found->ai_addrlen));
    ::freeaddrinfo(found);
    return QString::fromLatin1(::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text));
}

Task<std::optional<QString>> PingContext::lookUp(QByteArray name)
{
    co_return resolveHostName(name);
}

Task<QString> hostToAddressString(PingContext &context, QString host)
{
    const QByteArray name = hostLookupText(host).toUtf8();
    // A resolver reads up to the first terminator: such a name is never looked up.
    std::optional<QString> found;
    if (name.contains('\0'))
        found = std::nullopt;
    else if (hostLookup())
        found = hostLookup()(name);
    else if (!(found = dottedAddress(name))) {
        Task<std::optional<QString>> lookUp = context.lookUp(name);
        found = co_await lookUp;
    }
    co_return found ? *found : host;
}

Task<qint32> addressStringToLong(PingContext &context, QString address)
{
    qint32 result = 0;
    int line = 10;
    QString report;
    try {
        QString part[5];
        int counter = 0;
        auto store = [&](const QString &value) {
            if (counter < 0 || counter > 4)
                throw RuntimeError{Err::SubscriptOutOfRange};
            part[counter] = value;
        };

        line = 20;
        counter = 0;
        for (;;) {
            line = 30;
            const qsizetype dot = address.indexOf(QLatin1Char('.'));
            if (dot < 0)
                break;
            line = 40;
            ++counter;
            line = 50;
            store(address.left(dot));
            line = 60;
            address = address.mid(dot + 1);
            line = 70;
            Task<void> yielded = context.yield();
            co_await yielded;
        }
        line = 90;
        ++counter;
        line = 100;
        store(address);
        line = 110;
        if (counter != 4) {
            line = 120;
            co_return 0;
        }
        line = 150;
        quint32 value = 0;
        for (int k = 4; k >= 1; --k)
            value = value << 8 | (static_cast<quint32>(wholeNumber(part[k])) & 0xFF);
        result = static_cast<qint32>(value);
        line = 160;
    } catch (...) {
        report = errorReport("AddressStringToLong", caughtError(), line);
    }
    // Shown outside the handler: a coroutine can't wait inside one.
    if (!report.isEmpty()) {
        Task<int> box = context.showMessageBox(report, MsgBox::OKOnly);
        co_await box;
    }
    co_return result;
}

QByteArray echoRequestData(const QDateTime &localTime)
{
    const QDate d = localTime.date();
    const QTime t = localTime.time();
    const QString stamp = QString::asprintf("%02d%02d%04d %02d%02d%02d", d.month(), d.day(), d.year(), t.hour(),
                                            t.minute(), t.second());
    return QByteArrayLiteral("Echo this request") + stamp.toLatin1();
}

Task<qint16> pingAddress(PingContext &context, QString &host, qint32 timeOut)
{
    qint16 result = 0;
    bool answered = false;
    int line = 10;
    QString report;
    try {
        line = 20;
        Task<QString> resolved = hostToAddressString(context, host);
        host = co_await resolved;
        line = 30;
        Task<qint32> parse = addressStringToLong(context, host);
        const qint32 address = co_await parse;
        line = 60;
        const quint32 destination = qToLittleEndian(static_cast<quint32>(address));
        for (int attempt = 1; line = 70, attempt <= 3; ++attempt) {
            line = 80;
            Task<EchoResult> exchange = context.echo(destination, currentEchoData(),
                                                     std::max<qint32>(0, timeOut));
            const EchoResult reply = co_await exchange;
            line = 90;
            if (reply.status == IpStatus::Success) {
                // A time beyond the 16-bit range is still an answer.
                result = static_cast<qint16>(std::min<quint32>(reply.roundTripMs, INT16_MAX));
                answered = true;
                break;
            }
            line = 120;
            // A failed attempt always gives a negative result, whatever its status.
            const quint32 status = reply.status ? std::min<quint32>(reply.status, 32768) : IpStatus::GeneralFailure;
            result = static_cast<qint16>(-static_cast<qint32>(status));
            line = 140;
        }
        line = 170;
    } catch (...) {
        report = errorReport("PingAddr", caughtError(), line);
    }
    if (!report.isEmpty()) {
        Task<int> box = context.showMessageBox(report, MsgBox::OKOnly);
        co_await box;
    }
    // An error before any attempt finished must not read as a reply in 0 ms.
    if (!answered && result >= 0)
        result = static_cast<qint16>(-static_cast<qint32>(IpStatus::GeneralFailure));
    co_return result;
}

} // namespace Pelorin

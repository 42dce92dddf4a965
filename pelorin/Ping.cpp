#include "Ping.h"

#include "ProbeInterface.h"
#include "platform/EchoService.h"
#include "platform/MessageBoxChannel.h"
#include "platform/SocketLayer.h"

#include <QCoreApplication>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

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

void reportError(const char *procedure, int number, int line)
{
    const QString text = QStringLiteral("Error ") + QString::number(number) + QStringLiteral(" (")
        + errorDescription(number) + QStringLiteral(") in procedure ") + QLatin1String(procedure)
        + QStringLiteral(" of Module Ping on line ") + QString::number(line);
    ShowMessageBox(text, MsgBox::OKOnly);
}

// Runs a procedure's body with its errors trapped: an error is reported with
// the line label reached and the procedure then returns what it has so far.
template <typename Body>
void trapErrors(const char *procedure, const int &line, Body body)
{
    try {
        body();
    } catch (const RuntimeError &e) {
        reportError(procedure, e.number, line);
    } catch (const std::bad_alloc &) {
        reportError(procedure, Err::OutOfMemory, line);
    } catch (...) {
        reportError(procedure, Err::InternalError, line);
    }
}

void yieldToMessageLoop()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
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

qint16 narrowToInteger(int value)
{
    if (value < INT16_MIN || value > INT16_MAX)
        throw RuntimeError{Err::Overflow};
    return static_cast<qint16>(value);
}

} // namespace

qint16 hiByte(qint16 value)
{
    return static_cast<qint16>((value / 256) & 255);
}

qint16 loByte(qint16 value)
{
    return static_cast<qint16>(value & 255);
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

QString hostToAddressString(const QString &host)
{
    const HostEntryPtr entry = gethostbyname(hostLookupText(host).toUtf8());
    if (!entry)
        return host;
    if (entry->h_addrtype != kAddressFamilyInet || entry->h_addr_list.isEmpty())
        return QString();
    return QString::fromLatin1(inet_ntoa(entry->h_addr_list.first()));
}

qint32 addressStringToLong(QString address)
{
    qint32 result = 0;
    int line = 10;
    trapErrors("AddressStringToLong", line, [&] {
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
            yieldToMessageLoop();
        }
        line = 90;
        ++counter;
        line = 100;
        store(address);
        line = 110;
        if (counter != 4) {
            line = 120;
            result = 0;
            return;
        }
        line = 150;
        quint32 value = 0;
        for (int k = 4; k >= 1; --k)
            value = value << 8 | (static_cast<quint32>(wholeNumber(part[k])) & 0xFF);
        result = static_cast<qint32>(value);
        line = 160;
    });
    return result;
}

bool socketsInitialize(bool &startupMade)
{
    bool result = false;
    startupMade = false;
    int line = 10;
    trapErrors("SocketsInitialize", line, [&] {
        line = 20;
        WSADATA data;
        const int startup = WSAStartup(0x0101, &data);
        startupMade = startup == 0;
        const qint16 rc = narrowToInteger(startup);
        line = 30;
        if (rc != 0) {
            line = 40;
            ShowMessageBox(QStringLiteral("Windows Sockets for 32 bit Windows environments is not successfully responding."),
                           MsgBox::OKOnly);
            line = 50;
            return;
        }
        line = 80;
        const auto version = static_cast<qint16>(data.wVersion);
        if (loByte(version) < 1 || (loByte(version) == 1 && hiByte(version) < 1)) {
            line = 90;
            const QString minor = QString::number(hiByte(version));
            line = 100;
            const QString major = QString::number(loByte(version));
            line = 110;
            QString message = QStringLiteral("Windows Sockets Version ") + major + QLatin1Char('.') + minor;
            line = 120;
            message += QStringLiteral(" is not supported by Windows Sockets for 32 bit Windows environments.");
            line = 130;
            ShowMessageBox(message, MsgBox::OKOnly | MsgBox::Exclamation);
            line = 140;
            return;
        }
        line = 170;
        if (static_cast<qint16>(data.maxSockets) < 1) {
            line = 180;
            const QString message = QStringLiteral("This application requires a minimum of ") + QString::number(1)
                + QStringLiteral(" supported sockets.");
            line = 190;
            ShowMessageBox(message, MsgBox::OKOnly | MsgBox::Exclamation);
            line = 200;
            return;
        }
        line = 230;
        result = true;
        line = 240;
    });
    return result;
}

bool socketsInitialize()
{
    bool startupMade = false;
    return socketsInitialize(startupMade);
}

QByteArray echoRequestData(const QDateTime &localTime)
{
    const QDate d = localTime.date();
    const QTime t = localTime.time();
    const QString stamp = QString::asprintf("%02d%02d%04d %02d%02d%02d", d.month(), d.day(), d.year(), t.hour(),
                                            t.minute(), t.second());
    return QByteArrayLiteral("Echo this request") + stamp.toLatin1();
}

qint16 pingAddress(QString &host, const qint32 &timeOut)
{
    constexpr quint16 kRequestSize = 32;
    constexpr quint32 kReplySize = 278;

    qint16 result = 0;
    bool answered = false;
    int line = 10;
    // Released on every path out, the error path included: handle first, then
    // the start-up.
    SocketStartupGuard startup;
    std::optional<IcmpHandleGuard> handle;
    alignas(ICMP_ECHO_REPLY) quint8 replyBuffer[kReplySize] = {};

    trapErrors("PingAddr", line, [&] {
        line = 20;
        host = hostToAddressString(host);
        line = 30;
        const qint32 address = addressStringToLong(host);
        line = 40;
        bool startupMade = false;
        socketsInitialize(startupMade);
        startup.adopt(startupMade);
        line = 50;
        handle.emplace(IcmpCreateFile());
        line = 60;
        IP_OPTION_INFORMATION options;
        options.Ttl = 255;
        // A negative time-out would be an unsigned wait of weeks.
        const auto waitMs = static_cast<quint32>(std::max<qint32>(0, timeOut));
        const quint32 destination = qToLittleEndian(static_cast<quint32>(address));
        for (int attempt = 1; line = 70, attempt <= 3; ++attempt) {
            line = 80;
            const QByteArray data = echoRequestData(QDateTime::currentDateTime());
            const quint32 count = IcmpSendEcho(handle->get(), destination, data.constData(), kRequestSize, &options,
                                               replyBuffer, kReplySize, waitMs);
            ICMP_ECHO_REPLY reply;
            std::memcpy(&reply, replyBuffer, sizeof reply);
            line = 90;
            if (count != 0) {
                // A time beyond the 16-bit range is still an answer.
                result = static_cast<qint16>(std::min<quint32>(reply.RoundTripTime, INT16_MAX));
                answered = true;
                break;
            }
            line = 120;
            // A failed attempt always gives a negative result, whatever its status.
            const quint32 status = reply.Status ? std::min<quint32>(reply.Status, 32768) : IpStatus::GeneralFailure;
            result = static_cast<qint16>(-static_cast<qint32>(status));
            line = 140;
        }
        line = 150;
        handle.reset();
        line = 160;
        startup.reset();
        line = 170;
    });
    // An error before any attempt finished must not read as a reply in 0 ms.
    if (!answered && result >= 0)
        result = static_cast<qint16>(-static_cast<qint32>(IpStatus::GeneralFailure));
    return result;
}

} // namespace Pelorin

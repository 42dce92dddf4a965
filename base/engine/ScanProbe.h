// The engine's seam to the probe server: one ScanProbe per busy slot, made by
// a ProbeFactory that the driver (window, command line, tests) hands to the
// engine. The real factory wraps pelorin's probe objects (client/PelorinProbe.h);
// tests give a stand-in that answers without a server or a network.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class ScanProbe : public QObject
{
    Q_OBJECT

public:
    // Both return at once; the answer comes later as a signal.
    virtual void PingRequest(const QString &ip, qint32 timeOut, quint8 retries) = 0;
    virtual void HTTPRequest(const QString &host, qint32 port, const QString &file, qint32 timeOut,
                             quint8 retries) = 0;
    // False once the server that holds the probe has gone.
    virtual bool isAlive() const = 0;

signals:
    void PingResponse(const QString &ip, qint16 pingTime);
    void HTTPReqResponse(const QString &host, const QString &raw);
};

class ProbeFactory : public QObject
{
    Q_OBJECT

public:
    // Whether probes can be had now. Pending while the probe server is still
    // starting: readinessChanged() follows once that is decided. Refused, with
    // the text to show and its box style, when a scan could find nothing.
    enum class Readiness { Ready, Pending, Refused };
    virtual Readiness readiness(QString *problem, int *style) = 0;
    // A new probe; null, with the reason in error, when none can be had.
    virtual std::unique_ptr<ScanProbe> create(QString *error) = 0;

signals:
    // Pending has turned into Ready or Refused.
    void readinessChanged();
    // The server behind every probe has ended; the reason is for the operator.
    void serverDied(const QString &reason);
};

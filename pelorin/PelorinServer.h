// The probe server process: reads the client's frames from stdin, creates and
// releases probe objects (each on a thread of its own, taken from a pool),
// routes calls and answers to them, and ends when the client's pipe closes.
#pragma once

#include "ObjectHost.h"
#include "PipeWriter.h"
#include "ProbeProtocol.h"

#include <QObject>

#include <map>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace Pelorin {

class PelorinServer : public QObject
{
    Q_OBJECT

public:
    // Live and still-ending objects together; a Create beyond this is refused.
    static constexpr int kMaxThreads = 1024;
    // How long the end of the pipe waits for object threads (a ping in progress
    // can hold one up to three echo time-outs) before the process leaves anyway.
    static constexpr int kShutdownGraceMs = 3000;

    PelorinServer(int inFd, int outFd, QObject *parent = nullptr);
    ~PelorinServer() override;

    // Sends the greeting and starts reading. False when stdout is already closed.
    bool start();

signals:
    // The pipe has closed and every object thread has ended.
    void finished(int exitCode);

private:
    void readInput();
    void handle(const Wire::Message &m);
    void create(const Wire::Message &m);
    void release(quint32 objectId);
    ObjectHost *find(const Wire::Message &m);
    void reap(ObjectHost *host);
    void protocolError(quint32 objectId, const QString &text);
    void shutdown(const char *why);

    int m_inFd;
    PipeWriter m_writer;
    Wire::FrameReader m_reader;
    std::unique_ptr<QSocketNotifier> m_notifier;
    ObjectThreadPool m_pool; // outlives the objects that run on it
    std::map<quint32, std::unique_ptr<ObjectHost>> m_objects;
    std::vector<std::unique_ptr<ObjectHost>> m_ending; // released, still on its thread
    bool m_shuttingDown = false;
};

} // namespace Pelorin

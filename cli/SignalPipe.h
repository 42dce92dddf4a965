// SIGINT and SIGTERM as a Qt signal: the handlers write the signal's number
// into a pipe that a QSocketNotifier watches, so the work runs in the event
// loop (at the engine's yields), not in the handler. Installs the handlers
// for its lifetime and restores the previous ones when destroyed. One at a time.
#pragma once

#include <QObject>

#include <signal.h>

class QSocketNotifier;

class SignalPipe : public QObject
{
    Q_OBJECT

public:
    explicit SignalPipe(QObject *parent = nullptr);
    ~SignalPipe() override;
    bool isValid() const { return m_notifier != nullptr; }
    // Emits caught for every signal that has arrived but not yet been
    // delivered: whoever sees the end of something a signal may have caused
    // (pelorin gone) learns of the signal first.
    void deliverPending();

signals:
    void caught(int signal);

private:
    static void handler(int signal);

    int m_fds[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
};

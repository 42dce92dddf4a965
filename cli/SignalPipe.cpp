// The self-pipe behind SignalPipe.
#include "SignalPipe.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
volatile sig_atomic_t g_writeFd = -1;
}

SignalPipe::SignalPipe(QObject *parent) : QObject(parent)
{
    Q_ASSERT(g_writeFd == -1); // one at a time
    if (::pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_writeFd = m_fds[1];
    m_notifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalPipe::deliverPending);
    struct sigaction action {};
    action.sa_handler = &SignalPipe::handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &m_oldInt);
    ::sigaction(SIGTERM, &action, &m_oldTerm);
}

SignalPipe::~SignalPipe()
{
    if (m_fds[0] < 0)
        return;
    ::sigaction(SIGINT, &m_oldInt, nullptr);
    ::sigaction(SIGTERM, &m_oldTerm, nullptr);
    g_writeFd = -1;
    delete m_notifier;
    ::close(m_fds[0]);
    ::close(m_fds[1]);
}

void SignalPipe::handler(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (g_writeFd >= 0)
        (void)!::write(g_writeFd, &byte, 1);
    errno = saved;
}

void SignalPipe::deliverPending()
{
    if (m_fds[0] < 0)
        return;
    unsigned char byte = 0;
    while (::read(m_fds[0], &byte, 1) == 1)
        emit caught(int(byte));
}

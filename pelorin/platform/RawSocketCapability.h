// Pelorin's one capability, CAP_NET_RAW, held the way ping holds it: the
// package grants it in the permitted set only (setcap cap_net_raw+p), and it
// is raised into the effective set just while a raw socket is opened.
// Capabilities belong to a thread on Linux: a raise never reaches another thread.
#pragma once

namespace Pelorin {

// Keeps CAP_NET_RAW (when held) as the only permitted capability and empties
// the effective and inheritable sets. Called by pelorin's main before any
// other thread exists, so every thread starts with nothing effective.
// False when the kernel refused.
bool limitCapabilitiesToRawSockets();

// Raises CAP_NET_RAW into the calling thread's effective set for its scope
// when it is permitted but not effective, and lowers it again on destruction.
// Does nothing where the capability is not permitted or already effective.
class RawSocketCapabilityGuard
{
public:
    RawSocketCapabilityGuard();
    ~RawSocketCapabilityGuard();
    RawSocketCapabilityGuard(const RawSocketCapabilityGuard &) = delete;
    RawSocketCapabilityGuard &operator=(const RawSocketCapabilityGuard &) = delete;

private:
    bool m_raised = false;
};

} // namespace Pelorin

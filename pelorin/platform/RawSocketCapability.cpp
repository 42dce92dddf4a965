#include "platform/RawSocketCapability.h"

#include <sys/capability.h>

#include <memory>

namespace Pelorin {

namespace {

struct CapFree {
    void operator()(cap_t caps) const { cap_free(caps); }
};
using Caps = std::unique_ptr<std::remove_pointer_t<cap_t>, CapFree>;

const cap_value_t kNetRaw[] = {CAP_NET_RAW};

bool has(const Caps &caps, cap_flag_t set)
{
    cap_flag_value_t value = CAP_CLEAR;
    return caps && cap_get_flag(caps.get(), CAP_NET_RAW, set, &value) == 0 && value == CAP_SET;
}

// Sets CAP_NET_RAW in the effective set of the calling thread to on.
bool setEffective(cap_flag_value_t on)
{
    Caps caps(cap_get_proc());
    return caps && cap_set_flag(caps.get(), CAP_EFFECTIVE, 1, kNetRaw, on) == 0
        && cap_set_proc(caps.get()) == 0;
}

} // namespace

bool limitCapabilitiesToRawSockets()
{
    const Caps current(cap_get_proc());
    const bool keep = has(current, CAP_PERMITTED);
    Caps limited(cap_init()); // every set empty
    if (!limited || (keep && cap_set_flag(limited.get(), CAP_PERMITTED, 1, kNetRaw, CAP_SET) != 0))
        return false;
    return cap_set_proc(limited.get()) == 0;
}

RawSocketCapabilityGuard::RawSocketCapabilityGuard()
{
    const Caps current(cap_get_proc());
    if (has(current, CAP_PERMITTED) && !has(current, CAP_EFFECTIVE))
        m_raised = setEffective(CAP_SET);
}

RawSocketCapabilityGuard::~RawSocketCapabilityGuard()
{
    if (m_raised)
        setEffective(CAP_CLEAR);
}

} // namespace Pelorin

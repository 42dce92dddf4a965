#include "Capabilities.h"

#include "PelorinLog.h"

#include <sys/capability.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

namespace Pelorin::Capabilities {

namespace {

struct CapFree {
    void operator()(cap_t caps) const { cap_free(caps); }
};
using Caps = std::unique_ptr<std::remove_pointer_t<cap_t>, CapFree>;
const cap_value_t kNetRaw[] = {CAP_NET_RAW};

// The one line a failed call leaves; pelorin ends here.
[[noreturn]] void fail(const char *call)
{
    const int error = errno;
    qCCritical(lcPelorin, "capabilities: %s failed: %s", call, std::strerror(error));
    std::_Exit(1);
}

Caps current()
{
    Caps caps(cap_get_proc());
    if (!caps)
        fail("cap_get_proc");
    return caps;
}

bool isSet(const Caps &caps, cap_value_t cap, cap_flag_t set)
{
    cap_flag_value_t value = CAP_CLEAR;
    if (cap_get_flag(caps.get(), cap, set, &value) != 0)
        fail("cap_get_flag");
    return value == CAP_SET;
}

void setNetRaw(const Caps &caps, cap_flag_t set, cap_flag_value_t value)
{
    if (cap_set_flag(caps.get(), set, 1, kNetRaw, value) != 0)
        fail("cap_set_flag");
}

void apply(const Caps &caps)
{
    if (cap_set_proc(caps.get()) != 0)
        fail("cap_set_proc");
}

Caps empty()
{
    Caps caps(cap_init());
    if (!caps)
        fail("cap_init");
    return caps;
}

void clearAmbient()
{
    // Kernels without ambient capabilities have none to clear.
    if (CAP_AMBIENT_SUPPORTED() && cap_reset_ambient() != 0)
        fail("cap_reset_ambient");
}

} // namespace

void limitToNetRaw()
{
    const Caps now = current();
    const bool keepNetRaw = isSet(now, CAP_NET_RAW, CAP_PERMITTED);
    // Only a process that holds CAP_SETPCAP may narrow its bounding set.
    if (isSet(now, CAP_SETPCAP, CAP_EFFECTIVE)) {
        for (cap_value_t cap = 0; cap <= cap_max_bits() - 1; ++cap) {
            if (cap != CAP_NET_RAW && CAP_IS_SUPPORTED(cap) && cap_drop_bound(cap) != 0)
                fail("cap_drop_bound");
        }
    }
    clearAmbient();
    const Caps limited = empty();
    if (keepNetRaw)
        setNetRaw(limited, CAP_PERMITTED, CAP_SET);
    apply(limited);
}

int withNetRaw(const std::function<int()> &open)
{
    const Caps caps = current();
    const bool raise = isSet(caps, CAP_NET_RAW, CAP_PERMITTED) && !isSet(caps, CAP_NET_RAW, CAP_EFFECTIVE);
    if (raise) {
        setNetRaw(caps, CAP_EFFECTIVE, CAP_SET);
        apply(caps);
    }
    const int savedErrno = errno;
    const int result = open();
    const int openErrno = errno;
    if (raise) {
        setNetRaw(caps, CAP_EFFECTIVE, CAP_CLEAR);
        apply(caps);
    }
    errno = result < 0 ? openErrno : savedErrno;
    return result;
}

void dropAll()
{
    clearAmbient();
    apply(empty());
}

} // namespace Pelorin::Capabilities

// Loaded into pelorin with LD_PRELOAD by the capability tests: the FAIL_CAP_SET_PROC_AT-th call (1 when unset) of
// cap_set_proc fails with EPERM as a kernel that refuses would; the others go through.
#include <sys/capability.h>

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>

extern "C" int cap_set_proc(cap_t caps)
{
    static int calls = 0;
    const char *at = std::getenv("FAIL_CAP_SET_PROC_AT");
    if (++calls != (at ? std::atoi(at) : 1))
        return reinterpret_cast<int (*)(cap_t)>(dlsym(RTLD_NEXT, "cap_set_proc"))(caps);
    errno = EPERM;
    return -1;
}

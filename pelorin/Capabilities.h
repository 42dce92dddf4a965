// Pelorin's capabilities, from the start of main to the end of the echo
// socket's opening. The package permits CAP_NET_RAW alone (setcap
// cap_net_raw+p); it is effective only while the raw echo socket opens, and
// every set is emptied once the echo socket is open. A capability call that
// pelorin needs and that fails ends pelorin at once: one line on stderr and
// exit status 1, as ping does. A call that does not apply (narrowing the
// bounding set without CAP_SETPCAP) is not made. No state of its own: the
// kernel holds it.
#pragma once

#include <functional>

namespace Pelorin::Capabilities {

// First thing in main: CAP_NET_RAW alone permitted (when it was), nothing
// effective, inheritable or ambient, and the bounding set narrowed to
// CAP_NET_RAW where CAP_SETPCAP allows it.
void limitToNetRaw();

// Runs open() with CAP_NET_RAW effective when it is permitted, lowered again
// afterwards (left as it was when it already was effective, for a test run
// as root); open's result. May be called again while the capability is permitted.
int withNetRaw(const std::function<int()> &open);

// Every capability set empty, ambient ones too, for good.
void dropAll();

} // namespace Pelorin::Capabilities

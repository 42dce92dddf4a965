// One listed host as the engine reports it to the window and the command line.
// mac and vendor stay empty until a neighbour-table lookup fills them.
#pragma once

#include <QString>

struct HostRecord {
    // How the host showed itself: it answered echo, or it answered only the
    // kernel's ARP request (then it has no ping time).
    enum class Seen { Echo, Arp };

    QString host;
    qint16 pingTime = 0;
    QString description;
    QString mac;
    QString vendor;
    Seen seen = Seen::Echo;
};

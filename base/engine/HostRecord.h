// One listed host as the engine reports it to the window and the command line.
// mac and vendor stay empty until a neighbour-table lookup fills them.
#pragma once

#include <QString>

struct HostRecord {
    QString host;
    qint16 pingTime = 0;
    QString description;
    QString mac;
    QString vendor;
};

#include "LanterraLog.h"

Q_LOGGING_CATEGORY(lcLanterra, "lanterra")

#include "PelorinLog.h"

Q_LOGGING_CATEGORY(lcPelorin, "pelorin")

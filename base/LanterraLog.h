// The one logging category of the lanterra program ("lanterra").
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcLanterra)

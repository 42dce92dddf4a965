// The one logging category of the pelorin program ("pelorin"). Its lines go to
// stderr as "pelorin: <text>"; the client shows them with its own output.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcPelorin)

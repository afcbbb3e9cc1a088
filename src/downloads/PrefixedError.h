// Logging an error with a prefix in front of its message, keeping its class
// name (and for ELogMngrException its source and extra data) for the log.
#pragma once

#include <QString>

// Logs the exception being handled (call it inside a catch block) through
// HandleException with aSource, its message prefixed by aPrefix. An EAbort is
// not logged.
void HandleExceptionPrefixed(const QString& aSource, const QString& aPrefix);

#include "runlog.h"

// Off by default, like every category here: see filelog.cpp.
Q_LOGGING_CATEGORY(lcRun, "aktualizator.run", QtCriticalMsg)

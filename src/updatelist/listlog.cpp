#include "listlog.h"

// Off by default, like every category here: see filelog.cpp.
Q_LOGGING_CATEGORY(lcList, "aktualizator.list", QtCriticalMsg)

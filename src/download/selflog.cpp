#include "selflog.h"

// Off by default, like every category here: see filelog.cpp.
Q_LOGGING_CATEGORY(lcSelf, "aktualizator.self", QtCriticalMsg)

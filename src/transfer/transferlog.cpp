#include "transferlog.h"

// Off by default, like every category here: see filelog.cpp.
Q_LOGGING_CATEGORY(lcTransfer, "aktualizator.transfer", QtCriticalMsg)

#include "filelog.h"

Q_LOGGING_CATEGORY(lcFiles, "aktualizator.files", QtWarningMsg)

#include "filelog.h"

// Every category of the updater is off by default, warnings too: it keeps no log and its users
// have no console. QT_LOGGING_RULES turns them on (README, "Why a file, a patch or the list
// failed").
Q_LOGGING_CATEGORY(lcFiles, "aktualizator.files", QtCriticalMsg)

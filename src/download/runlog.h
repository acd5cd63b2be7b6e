#pragma once

#include <QLoggingCategory>

// "aktualizator.run": each file of a run: whole or by patch, its bytes, and why it failed.
Q_DECLARE_LOGGING_CATEGORY(lcRun)

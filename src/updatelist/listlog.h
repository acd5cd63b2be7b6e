#pragma once

#include <QLoggingCategory>

// "aktualizator.list": which address gave the list, and why a list was refused.
Q_DECLARE_LOGGING_CATEGORY(lcList)

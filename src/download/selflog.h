#pragma once

#include <QLoggingCategory>

// "aktualizator.self": the updater's renewal of itself, and its rollback.
Q_DECLARE_LOGGING_CATEGORY(lcSelf)

#pragma once

#include <QLoggingCategory>

// "aktualizator.files": staging, replacing and sweeping files.
Q_DECLARE_LOGGING_CATEGORY(lcFiles)

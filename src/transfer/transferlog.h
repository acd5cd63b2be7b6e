#pragma once

#include <QLoggingCategory>

// "aktualizator.transfer": requests, answers, retries and the replace of a fetched file.
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)

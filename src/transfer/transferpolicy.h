#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

// The limits every transfer keeps, as one value: the program uses the defaults, tests shorten
// them. A new limit is a new field here and the one place that applies it.
struct TransferPolicy
{
    // A transfer that receives nothing for this long fails instead of waiting forever.
    int noDataTimeoutMs = 30000;
    // A server that keeps sending a byte now and then never trips the no-data timeout; one that
    // averages less than this over any whole window fails as well.
    qint64 minimumBytesPerSecond = 1024;
    int rateWindowMs = 60000;
    // A transfer that fails in a way that may pass (a cut connection, a stall, a busy server) is
    // tried again this often, after the first delay, then twice as long each time.
    int retries = 3;
    int firstRetryDelayMs = 1000;
    // A request that nothing answers within the no-data timeout, not even with a status line,
    // is tried again like any stall. Off, it fails at once: for a caller with another server
    // to ask first.
    bool retryUnanswered = true;
    // A server's Retry-After is honoured up to this long.
    int retryAfterCapMs = 30000;
    // On Windows a file that a closing program still holds cannot be replaced; how long to wait
    // for it to become free before giving up.
    int inUseWaitMs = 10000;
    // Tests stand in for a file that another program holds; empty asks the system.
    std::function<bool(const QString &)> inUseCheck;
    // The list has no size to check it by, so the list and its signature together get this
    // long; a server that keeps sending just above the minimum rate would hold the window
    // forever otherwise.
    int listDeadlineMs = 120000;
};

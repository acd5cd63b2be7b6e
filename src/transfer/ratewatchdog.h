#pragma once

#include <QList>
#include <QPair>
#include <QtGlobal>

// A server that keeps sending a byte now and then never trips a no-data timeout. This tells when
// less than the minimum rate arrived over the last whole window, from samples of the bytes
// received so far taken now and then.
class RateWatchdog
{
public:
    RateWatchdog(qint64 minimumBytesPerSecond, int windowMs);

    // A new request: the window starts now.
    void restart(qint64 nowMs, qint64 bytes);
    bool tooSlow(qint64 nowMs, qint64 bytes);
    // How often to sample: often enough that a slow window is seen soon after it ends.
    int sampleIntervalMs() const { return qMax(10, windowMs / 6); }

private:
    qint64 minimumBytesPerSecond;
    int windowMs;
    // (milliseconds, bytes received by then), oldest first.
    QList<QPair<qint64, qint64>> samples;
};

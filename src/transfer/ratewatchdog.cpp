#include "ratewatchdog.h"

RateWatchdog::RateWatchdog(qint64 minimumBytesPerSecond, int windowMs)
    : minimumBytesPerSecond(minimumBytesPerSecond)
    , windowMs(windowMs)
{ }

void RateWatchdog::restart(qint64 nowMs, qint64 bytes)
{
    samples = {{nowMs, bytes}};
}

bool RateWatchdog::tooSlow(qint64 nowMs, qint64 bytes)
{
    samples.append({nowMs, bytes});
    // Keep the newest sample that is at least a window old, and all that came after it.
    while (samples.size() > 1 && samples.at(1).first <= nowMs - windowMs)
        samples.removeFirst();
    const QPair<qint64, qint64> oldest = samples.constFirst();
    const qint64 span = nowMs - oldest.first;
    return span >= windowMs && (bytes - oldest.second) * 1000 < minimumBytesPerSecond * span;
}

#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace Bench {

// Peak resident set of this process so far, in KiB (Linux reports ru_maxrss in KiB).
inline long peakRssKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Runs the event loop until the condition holds, checking after every batch of events so the
// moment it turns true is seen without a polling timer adding wake-ups of its own; a slow
// heartbeat only lets the deadline be noticed when nothing else happens.
inline bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QTimer heartbeat;
    heartbeat.start(200);
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Lets everything queued so far (layout requests, deferred shows, repaints) run.
inline void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

inline double elapsedMs(const QElapsedTimer &clock)
{
    return double(clock.nsecsElapsed()) / 1e6;
}

// Ends the event loop once the watched window has painted for the first time: the moment a
// user would see it.
class QuitOnFirstPaint : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !seen) {
            seen = true;
            QCoreApplication::exit(0);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool seen = false;
};

} // namespace Bench

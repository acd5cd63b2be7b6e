#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace Bench {

// Peak resident set of this process so far, in KiB (Linux reports ru_maxrss in KiB).
inline long peakRssKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// This process's anonymous resident memory now, in KiB: heap and stacks, not the pages of mapped
// files, which the kernel can drop and read again at any time.
inline long rssAnonKiB()
{
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "RssAnon:", 8) == 0) {
            kib = std::atol(line + 8);
            break;
        }
    }
    std::fclose(status);
    return kib;
}

// The largest anonymous resident memory seen while it lives, sampled every 2 ms on a thread of
// its own, so that a pause of the event loop cannot hide a peak.
class AnonPeak
{
public:
    AnonPeak()
        : sampler([this] {
            while (!stop.load()) {
                peak.store(std::max(peak.load(), rssAnonKiB()));
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        })
    { }
    ~AnonPeak() { finish(); }
    long finish()
    {
        stop.store(true);
        if (sampler.joinable())
            sampler.join();
        return peak.load();
    }

private:
    std::atomic<bool> stop {false};
    std::atomic<long> peak {0};
    std::thread sampler;
};

// The longest time the event loop went without running a 5 ms timer, minus those 5 ms: what the
// window would have waited to repaint or to take a key.
class PauseMeter
{
public:
    PauseMeter()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            worstMs = std::max(worstMs, double(clock.nsecsElapsed()) / 1e6 - intervalMs);
            clock.restart();
        });
        clock.start();
        timer.start(intervalMs);
    }
    double longestMs() const
    {
        return std::max(worstMs, double(clock.nsecsElapsed()) / 1e6 - intervalMs);
    }

private:
    static constexpr int intervalMs = 5;
    QTimer timer;
    QElapsedTimer clock;
    double worstMs = 0;
};

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

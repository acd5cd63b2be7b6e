#include "job.h"

Job::Job(QObject *parent)
    : QObject(parent)
{ }

Job::~Job() = default;

void Job::start()
{
    if (started)
        return;
    started = true;
    continueLater(&Job::doStart);
}

void Job::kill()
{
    doKill();
    if (ended)
        return;
    ended = true;
    started = true;
    recordKilled();
}

void Job::end(const std::function<void()> &record)
{
    if (ended)
        return;
    ended = true;
    record();
    announceResult();
}

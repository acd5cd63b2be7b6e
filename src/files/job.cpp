#include "job.h"

#include <QMetaObject>

Job::Job(int killedResult, QObject *parent)
    : QObject(parent)
    , killedCode(killedResult)
{ }

Job::~Job() = default;

void Job::start()
{
    if (started || ended)
        return;
    started = true;
    QMetaObject::invokeMethod(this, &Job::begin, Qt::QueuedConnection);
}

void Job::begin()
{
    if (!ended)
        doStart();
}

void Job::kill(KillVerbosity verbosity)
{
    doKill();
    if (ended)
        return;
    if (verbosity == KillVerbosity::EmitResult) {
        emitResult(killedCode, QStringLiteral("stopped"));
        return;
    }
    ended = true;
    code = killedCode;
    reason = QStringLiteral("stopped");
}

void Job::emitResult(int result, const QString &why)
{
    if (ended)
        return;
    ended = true;
    code = result;
    reason = why;
    announceResult();
}

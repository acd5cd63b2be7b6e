#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <type_traits>

// The lifecycle every piece of work here shares, after KDE's KJob. start() only schedules the
// work: it begins from the event loop, so whoever starts a job has made its connections and
// returned before anything can end. A job ends once, through emitResult(), with a result (the
// subclass's own enum, as an int) and a reason for the log; the subclass announces it in its own
// finished signal. kill() stops the work; as KJob's default it is quiet: no finished() follows.
// A subclass that holds work calls kill() in its destructor, since doKill() is virtual.
class Job : public QObject
{
    Q_OBJECT

public:
    enum class KillVerbosity {
        // Stops without finished(): the owner is letting go and wants nothing back.
        Quietly,
        // Stops with finished(), carrying the result given to the constructor.
        EmitResult,
    };

    // killedResult: the result a killed job reports.
    explicit Job(int killedResult, QObject *parent = nullptr);
    ~Job() override;

    // Begins the work from the event loop, never inside this call. A second call, or one after
    // kill(), does nothing.
    void start();
    // Stops the work and drops what it holds, also after the end (a job may keep its result on
    // disk until it is taken). Never a finished() after a quiet kill.
    void kill(KillVerbosity verbosity = KillVerbosity::Quietly);

    bool isFinished() const { return ended; }
    // Meaningful once finished.
    int resultCode() const { return code; }
    // Why the job failed: for the log and tests, never shown in the window.
    QString errorText() const { return reason; }

protected:
    // The work itself, from the event loop after start().
    virtual void doStart() = 0;
    // Stops the work and drops what the job holds; may run after the end.
    virtual void doKill() { }
    // Lets go of what the end does not need and emits the subclass's finished signal; runs
    // once, from emitResult().
    virtual void announceResult() = 0;

    // The one way a job ends. Later calls, and calls after kill(), are ignored.
    void emitResult(int result, const QString &why = {});
    // A result that changes after the end: a kept-aside file taken later.
    void setResultCode(int result) { code = result; }

private:
    void begin();

    int killedCode;
    int code = 0;
    QString reason;
    bool started = false;
    bool ended = false;
};

// The one way an owner lets go of a child it holds: the pointer is null at once, nothing of the
// child calls the owner back, a job is killed quietly (an unfinished file goes at once), and the
// object is deleted from the event loop, since this may run inside one of its own signals.
template <typename T> void releaseChild(T *&held, const QObject *owner)
{
    T *child = held;
    held = nullptr;
    if (!child)
        return;
    child->disconnect(owner);
    if constexpr (std::is_base_of_v<Job, T>)
        child->kill();
    child->deleteLater();
}

template <typename T> void releaseChild(std::unique_ptr<T> &held, const QObject *owner)
{
    T *child = held.release();
    releaseChild(child, owner);
}

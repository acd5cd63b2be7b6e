#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <type_traits>

// The lifecycle every piece of work here shares, after KDE's KJob. start() only schedules the
// work: it begins from the event loop, so whoever starts a job has made its connections and
// returned before anything can end. A job ends once: the first end counts, and a later one, or
// one after kill(), changes nothing. The guard lives here alone; a subclass only says how it
// ended (JobOf::finish), and announces it in its own finished signal.
//
// kill() stops the work and drops what the job holds, and announces nothing. KJob's quiet kill
// still emits finished(), beside a result() it leaves out; a job here has the one signal, and
// whoever kills it is letting go and wants nothing back. A subclass that holds work calls kill()
// in its destructor, since doKill() is virtual.
//
// Children. Whatever a job (or any owner here) holds while it works is created with the owner
// as its QObject parent, so that it never outlives the owner, and held by a plain pointer; what
// another object owns and may delete first (a reply, which its manager owns) is held by a
// QPointer. Either is let go only through releaseChild() below, never by delete or a smart
// pointer: the end of a child often runs inside one of the child's own signals.
class Job : public QObject
{
    Q_OBJECT

public:
    ~Job() override;

    // Begins the work from the event loop, never inside this call. A second call, or one after
    // kill(), does nothing.
    void start();
    // Stops the work and drops what it holds, also after the end (a job may keep its result on
    // disk until it is taken). The result becomes the killed one, unless the job had ended.
    void kill();

    bool isFinished() const { return ended; }

protected:
    explicit Job(QObject *parent = nullptr);

    // The work itself, from the event loop after start().
    virtual void doStart() = 0;
    // Stops the work and drops what the job holds; may run after the end.
    virtual void doKill() { }
    // Lets go of what the end does not need and emits the subclass's finished signal; runs
    // once, right after the end has been recorded.
    virtual void announceResult() = 0;

    // The one way a job ends: `record` keeps the result and announceResult() follows, unless
    // the job has ended or been killed already, when neither happens.
    void end(const std::function<void()> &record);
    // Runs `step` from the event loop unless the job has ended by then: long work in slices.
    template <typename J> void continueLater(void (J::*step)())
    {
        QMetaObject::invokeMethod(
            this,
            [this, step] {
                if (!ended)
                    (static_cast<J *>(this)->*step)();
            },
            Qt::QueuedConnection);
    }

private:
    // What kill() leaves as the result.
    virtual void recordKilled() = 0;

    bool started = false;
    bool ended = false;
};

// A job's outcome, kept where its lifecycle is: `Result` says how it ended (the subclass's own
// enum, or the value it made) and `Failure` why not as hoped, for the window and the log.
// Before the end, and after a kill, result() is the killed result and failure() is empty.
template <typename Result, typename Failure> class JobOf : public Job
{
public:
    Result result() const { return outcome; }
    Failure failure() const { return why; }

protected:
    explicit JobOf(Result killedResult, QObject *parent = nullptr)
        : Job(parent)
        , outcome(killedResult)
        , killed(killedResult)
    { }

    void finish(Result result, const Failure &failure = {})
    {
        end([&] {
            outcome = result;
            why = failure;
        });
    }
    // After the end, when a result kept aside is taken later.
    void amendResult(Result result, const Failure &failure)
    {
        outcome = result;
        why = failure;
    }

private:
    void recordKilled() final
    {
        outcome = killed;
        why = {};
    }

    Result outcome;
    Failure why;
    Result killed;
};

// The one way an owner lets go of a child it holds: the pointer is null at once, nothing of the
// child calls the owner back, a job is killed quietly (an unfinished file goes at once), and the
// object is deleted from the event loop, since this may run inside one of its own signals. In
// the owner's destructor the child, still a QObject child of the owner, goes with it at once.
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

template <typename T> void releaseChild(QPointer<T> &held, const QObject *owner)
{
    T *child = held.data();
    held = nullptr;
    releaseChild(child, owner);
}

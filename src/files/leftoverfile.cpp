#include "leftoverfile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QPointer>
#include <QTimer>

namespace {

constexpr int retryMs = 500;
constexpr int giveUpMs = 10 * 60 * 1000;

// Lives as a child of the application, so it goes with it; the last try is made then.
class LeftoverRemover : public QObject
{
public:
    explicit LeftoverRemover(QObject *parent)
        : QObject(parent)
    {
        timer.setInterval(retryMs);
        connect(&timer, &QTimer::timeout, this, &LeftoverRemover::removeReleased);
    }
    ~LeftoverRemover() override { removeReleased(); }

    void add(const QString &path)
    {
        pending.append({path, QDeadlineTimer(giveUpMs)});
        timer.start();
    }

private:
    struct Leftover
    {
        QString path;
        QDeadlineTimer deadline;
    };

    void removeReleased()
    {
        pending.removeIf([](const Leftover &leftover) {
            return QFile::remove(leftover.path) || !QFileInfo::exists(leftover.path)
                || leftover.deadline.hasExpired();
        });
        if (pending.isEmpty())
            timer.stop();
    }

    QList<Leftover> pending;
    QTimer timer;
};

} // namespace

void removeWhenReleased(const QString &path)
{
    static QPointer<LeftoverRemover> remover;
    if (!remover) {
        if (!QCoreApplication::instance())
            return;
        remover = new LeftoverRemover(QCoreApplication::instance());
    }
    remover->add(path);
}

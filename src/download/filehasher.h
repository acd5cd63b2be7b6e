#pragma once

#include "files/job.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QObject>
#include <QString>

// The SHA-256 of an installed file, read beside the event loop so that a large file never
// freezes the window. Only a regular file is read, never through a link; opening a FIFO put in
// its place would wait for ever. Ends in exactly one finished(); destroying it before that stops
// it. result() is the digest, failure() why there is none.
class FileHasher : public JobOf<QByteArray, QString>
{
    Q_OBJECT

public:
    explicit FileHasher(QObject *parent = nullptr);
    ~FileHasher() override;

    void start(const QString &path);

Q_SIGNALS:
    // Lower-case hex; empty when the file could not be read.
    void finished(const QByteArray &sha256);

protected:
    void doStart() override;
    void doKill() override;
    void announceResult() override;

private:
    QString path;
    QFutureWatcher<QByteArray> watcher;
};

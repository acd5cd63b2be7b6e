#pragma once

#include <QList>
#include <QtGlobal>

// How far a whole run has come, in bytes of all its files, for one bar over the run. A file
// counts with the size its line gives; without one, with the length its answer announces, once
// known. A patch moves its file's share in proportion to the patch's own bytes.
class RunProgress
{
public:
    // One size per file of the run, in order; -1 where the line gives none.
    explicit RunProgress(const QList<qint64> &sizes = {});

    // The next file begins.
    void startFile();
    // The current transfer's own counts, as its reply reports them (total -1: unknown).
    void transferProgress(qint64 received, qint64 total);
    // The current file is over, whatever came of it.
    void finishFile();

    qint64 doneBytes() const;
    // 0 while no file's size is known.
    qint64 totalBytes() const;
    // 1-based; 0 before the first file.
    int fileNumber() const { return current + 1; }
    int fileCount() const { return int(sizes.size()); }

private:
    QList<qint64> sizes;
    int current = -1;
    qint64 finishedBytes = 0;
    qint64 currentBytes = 0;
};

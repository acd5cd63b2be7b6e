#pragma once

class QThreadPool;

// The threads that wait for the disk: flushes, write-back, removals and unmaps of large files.
// Apart from the toolkit's global pool, whose threads (one per core) hash and decode, so that a
// slow disk never holds back work that only needs a processor. Its work owns what it touches
// (descriptors of its own), so it may end after whoever started it; the process waits for it
// when it ends.
QThreadPool *ioThreadPool();

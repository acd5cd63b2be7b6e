#pragma once

#include <QByteArray>
#include <QFile>
#include <QFuture>
#include <QString>

struct ZSTD_DCtx_s;
struct ZSTD_DDict_s;

// Decodes one zstd patch frame against an installed file, straight into the new file's bytes:
// the installed file is the frame's referenced prefix, read through a read-only map, and each
// block goes into a buffer as long as the new file (a map of it), where it stays as the window
// for the blocks after it. So neither file is ever copied into memory, and the frame can never
// make the new file longer than that buffer. The work comes in steps of bounded output, a block
// (at most 128 KiB) at a time, so the window stays responsive on a file of any size. close()
// (or the destructor) releases the map: Windows cannot replace a mapped file.
class PatchDecoder
{
public:
    PatchDecoder();
    ~PatchDecoder();
    PatchDecoder(const PatchDecoder &) = delete;
    PatchDecoder &operator=(const PatchDecoder &) = delete;

    // False when the base is no regular file (a link, a FIFO: nothing here waits), cannot be
    // mapped, or the decoder cannot start. `output` must stay in place until close().
    bool open(const QString &basePath, uchar *output, qint64 outputSize);

    enum class Step {
        // Give the rest of the input (or more) again.
        Going,
        // The frame is whole; the bytes it gave are output()[0, produced()).
        Ended,
        // The bytes are no frame for this base, the frame is longer than the output, or a
        // mapped file changed under the decoder.
        Failed,
    };
    // Decodes from `input`, counting what it took in `used`, until about `outputBudget` more
    // bytes are out or the input is used up. The unused rest is the caller's to give again.
    Step decode(const char *input, qsizetype size, qsizetype *used, qint64 outputBudget);
    qint64 produced() const { return producedBytes; }
    void close();

private:
    QFile base;
    const uchar *baseBytes = nullptr;
    qint64 mappedSize = 0;
    // The map of the last base, on its way back to the system.
    QFuture<void> baseReleased;
    ZSTD_DDict_s *prefix = nullptr;
    ZSTD_DCtx_s *context = nullptr;
    // A block whose bytes came in two pieces of input, put together.
    QByteArray carry;
    uchar *output = nullptr;
    qint64 outputSize = 0;
    qint64 producedBytes = 0;
    bool ended = false;
};

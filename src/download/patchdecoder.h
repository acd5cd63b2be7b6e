#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <functional>

struct ZSTD_DCtx_s;

// Decodes one zstd patch frame against an installed file: the installed file is the frame's
// referenced prefix, read through a read-only map, so neither it nor the new file is ever held
// in memory beyond zstd's own window. Feed the patch in pieces; the new bytes go to the sink as
// they come. close() (or the destructor) releases the map: Windows cannot replace a mapped file.
class PatchDecoder
{
public:
    PatchDecoder();
    ~PatchDecoder();
    PatchDecoder(const PatchDecoder &) = delete;
    PatchDecoder &operator=(const PatchDecoder &) = delete;

    // Returns false when the file is not the way it should be; the new bytes written so far are
    // then the sink's to throw away.
    using Sink = std::function<bool(const char *data, qsizetype size)>;

    bool open(const QString &basePath);
    // False when the bytes are no frame for this base, or the sink refused.
    bool feed(const char *data, qsizetype size, const Sink &sink);
    // True once the frame has ended, with nothing after it.
    bool complete() const { return frameEnded && !trailingBytes; }
    void close();

    // The new file's size as the frame header at the start of a patch gives it; -1 when the
    // header does not say (or is not all there).
    static qint64 declaredSize(const QByteArray &frameStart);

private:
    QFile base;
    const uchar *baseBytes = nullptr;
    qint64 baseSize = 0;
    ZSTD_DCtx_s *context = nullptr;
    QByteArray output;
    bool frameEnded = false;
    bool trailingBytes = false;
};

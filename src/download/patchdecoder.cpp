#include "patchdecoder.h"

#include <zstd.h>

#include <limits>

namespace {

// Patches are made with a window as long as the file (zstd's --long), so the decoder must accept
// up to the largest window zstd knows; it then holds at most that much.
constexpr int largestWindowLog = 31;

// An empty file has nothing to map; zstd takes a null prefix of length 0.
const uchar noBytes[1] = {0};

} // namespace

PatchDecoder::PatchDecoder() = default;

PatchDecoder::~PatchDecoder()
{
    close();
}

bool PatchDecoder::open(const QString &basePath)
{
    close();
    base.setFileName(basePath);
    if (!base.open(QIODevice::ReadOnly))
        return false;
    baseSize = base.size();
    baseBytes = baseSize > 0 ? base.map(0, baseSize) : noBytes;
    context = ZSTD_createDCtx();
    if (!baseBytes || !context
        || ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, largestWindowLog))
        || ZSTD_isError(ZSTD_DCtx_refPrefix(context, baseBytes, size_t(baseSize)))) {
        close();
        return false;
    }
    output.resize(qsizetype(ZSTD_DStreamOutSize()));
    frameEnded = false;
    trailingBytes = false;
    return true;
}

bool PatchDecoder::feed(const char *data, qsizetype size, const Sink &sink)
{
    if (!context)
        return false;
    if (frameEnded) {
        // One frame only: a second one would be decoded without the base and mean nothing.
        trailingBytes = trailingBytes || size > 0;
        return !trailingBytes;
    }
    ZSTD_inBuffer in {data, size_t(size), 0};
    // The output buffer may fill while input is left, and zstd may still hold bytes when the
    // input is used up; go on until it gives less than a full buffer.
    while (true) {
        ZSTD_outBuffer out {output.data(), size_t(output.size()), 0};
        const size_t left = ZSTD_decompressStream(context, &out, &in);
        if (ZSTD_isError(left))
            return false;
        if (out.pos > 0 && !sink(output.constData(), qsizetype(out.pos)))
            return false;
        if (left == 0) {
            frameEnded = true;
            trailingBytes = in.pos < in.size;
            return !trailingBytes;
        }
        if (in.pos == in.size && out.pos < out.size)
            return true;
    }
}

void PatchDecoder::close()
{
    if (context) {
        ZSTD_freeDCtx(context);
        context = nullptr;
    }
    if (baseBytes && baseBytes != noBytes)
        base.unmap(const_cast<uchar *>(baseBytes));
    baseBytes = nullptr;
    base.close();
}

qint64 PatchDecoder::declaredSize(const QByteArray &frameStart)
{
    const unsigned long long size
        = ZSTD_getFrameContentSize(frameStart.constData(), size_t(frameStart.size()));
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR
        || size > static_cast<unsigned long long>(std::numeric_limits<qint64>::max()))
        return -1;
    return qint64(size);
}

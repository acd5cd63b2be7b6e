#include "patchdecoder.h"

// The block-at-a-time decoder is part of zstd's advanced API; both builds link it statically.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "files/filemap.h"
#include "files/mappedaccess.h"
#include "files/regularfile.h"

#include <algorithm>

namespace {

// An empty file has nothing to map; zstd takes a prefix of length 0, and an output buffer of
// length 0 needs somewhere to point.
const uchar noBytes[1] = {0};

// zstd asks for a frame header, a block header or a block's body at a time: never more than a
// block's largest body.
constexpr qsizetype largestPiece = ZSTD_BLOCKSIZE_MAX;

} // namespace

PatchDecoder::PatchDecoder() = default;

PatchDecoder::~PatchDecoder()
{
    close();
}

bool PatchDecoder::open(const QString &basePath, uchar *outputBytes, qint64 size)
{
    close();
    if (!outputBytes || size < 0 || !openRegularFile(base, basePath, FileLinks::Refuse))
        return false;
    const qint64 baseSize = base.size();
    baseBytes = baseSize > 0 ? mapReadable(base, baseSize) : noBytes;
    mappedSize = baseSize;
    if (!baseBytes) {
        close();
        return false;
    }
    // Taken by reference and as plain content, whatever its first bytes look like: an installed
    // file that happens to start like a zstd dictionary is still only the file.
    prefix = ZSTD_createDDict_advanced(
        baseBytes, size_t(baseSize), ZSTD_dlm_byRef, ZSTD_dct_rawContent, ZSTD_defaultCMem);
    context = ZSTD_createDCtx();
    // The frame's own checksum guards nothing that the SHA-256 of the result does not, and
    // costs a pass over every byte.
    if (!prefix || !context
        || ZSTD_isError(
            ZSTD_DCtx_setParameter(context, ZSTD_d_forceIgnoreChecksum, ZSTD_d_ignoreChecksum))
        || ZSTD_isError(ZSTD_decompressBegin_usingDDict(context, prefix))) {
        close();
        return false;
    }
    carry.reserve(largestPiece);
    output = outputBytes;
    outputSize = size;
    producedBytes = 0;
    ended = false;
    return true;
}

PatchDecoder::Step PatchDecoder::decode(
    const char *input, qsizetype size, qsizetype *used, qint64 outputBudget)
{
    *used = 0;
    if (!context)
        return Step::Failed;
    if (ended)
        return Step::Ended;
    const qint64 stopAt = producedBytes + outputBudget;
    qsizetype taken = 0;
    bool failed = false;
    // Nothing in here allocates: the carry has its room already. A truncated map stops it in
    // the middle of zstd, whose state is then dropped.
    const bool completed = accessMappedFiles({{baseBytes, mappedSize}, {output, outputSize}}, [&] {
        while (true) {
            const size_t need = ZSTD_nextSrcSizeToDecompress(context);
            if (need == 0) {
                ended = true;
                return;
            }
            // Headers and the checksum give no bytes: they are read past the budget, so that a
            // frame whose last block is out also ends in this step.
            const ZSTD_nextInputType_e next = ZSTD_nextInputType(context);
            if (producedBytes >= stopAt && (next == ZSTDnit_block || next == ZSTDnit_lastBlock))
                return;
            if (qsizetype(need) > largestPiece) {
                failed = true;
                return;
            }
            const char *piece = input + taken;
            if (carry.isEmpty() && size - taken >= qsizetype(need)) {
                taken += qsizetype(need);
            } else {
                const qsizetype more = std::min(qsizetype(need) - carry.size(), size - taken);
                carry.append(input + taken, more);
                taken += more;
                if (carry.size() < qsizetype(need))
                    return;
                piece = carry.constData();
            }
            const size_t made = ZSTD_decompressContinue(
                context, output + producedBytes, size_t(outputSize - producedBytes), piece, need);
            carry.resize(0);
            if (ZSTD_isError(made)) {
                failed = true;
                return;
            }
            producedBytes += qint64(made);
        }
    });
    *used = taken;
    if (!completed || failed) {
        // Of no further use; after a stop inside zstd, nothing of its state can be trusted.
        close();
        return Step::Failed;
    }
    return ended ? Step::Ended : Step::Going;
}

void PatchDecoder::close()
{
    if (context) {
        ZSTD_freeDCtx(context);
        context = nullptr;
    }
    if (prefix) {
        ZSTD_freeDDict(prefix);
        prefix = nullptr;
    }
    if (baseBytes && baseBytes != noBytes)
        baseReleased = unmapReadable(baseBytes, mappedSize);
    baseBytes = nullptr;
    base.close();
    output = nullptr;
    carry.clear();
}

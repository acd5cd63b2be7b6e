#pragma once

#include <QString>

// Why a transfer failed, in the terms the user is told; `detail` keeps the exact cause for the
// log and tests.
struct TransferFailure
{
    enum class Kind {
        None,
        // The answer's status carries no file (httpStatus).
        HttpStatus,
        // Refused, name not found, no route: nothing answered at all.
        NoConnection,
        // Nothing arrived in time, or too slowly.
        NoResponse,
        // The connection broke off before the body was whole.
        Cut,
        Tls,
        ChecksumMismatch,
        // Not the number of bytes the list line says, or more than the file may be.
        WrongSize,
        // More bytes than a file without a size on the line may be (the list, its signature).
        OverLimit,
        // An answer whose body cannot be trusted to be the file: two framings, an encoding, no
        // length and no size to bound it.
        BadAnswer,
        // The bytes could not be kept: the staging file cannot be opened or written, or the
        // checked file cannot take the target's place.
        WriteFailed,
        // The link is no http(s), or names no safe file.
        RefusedLink,
    };

    Kind kind = Kind::None;
    int httpStatus = 0;
    QString detail;

    static TransferFailure of(Kind kind, const QString &detail, int httpStatus = 0)
    {
        return {kind, httpStatus, detail};
    }
};

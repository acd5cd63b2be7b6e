#pragma once

#include "transferfailure.h"
#include "transferpolicy.h"

#include <QNetworkReply>
#include <QString>

#include <optional>

// What one answer to one request came to, as far as the retry decision needs it.
struct AttemptReport
{
    // What was asked: only the rest of the file (Range with If-Range).
    bool rangeRequested = false;
    // A 416 to a range request was already answered by starting from zero once.
    bool rangeRefusedBefore = false;
    // The answer's body went into the file: a 200, or a 206 that continues the same file.
    bool bodyAccepted = false;
    // A 206 that did not continue the file (another version, another range, another length).
    bool rangeMismatch = false;
    // The file cannot be trusted or written, whoever answers: a write or byte-limit failure,
    // ambiguous framing, a body of unknown length without a size to bound it.
    std::optional<QString> unrecoverable;
    // A Content-Encoding other than identity: encoded bytes are not the file, and a cut
    // compressed stream looks whole to the transport.
    bool encoded = false;
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    // The minimum rate was not kept.
    bool tooSlow = false;
    // Fewer bytes arrived than the answer announced.
    bool shortBody = false;
    // The answer's Retry-After, already read (HttpAnswer::retryAfterMs).
    std::optional<qint64> retryAfterMs;
    // Retries made before this answer.
    int retriesDone = 0;
};

struct RetryDecision
{
    enum class Action {
        // The body is whole as far as the transport can tell: now the file's own checks.
        Complete,
        // Ask again after delayMs, for the rest when the resume bookkeeping allows it.
        Retry,
        // Ask again at once for the whole file; the bytes so far belong to another answer.
        RestartFromZero,
        Fail,
    };
    Action action = Action::Fail;
    int delayMs = 0;
    // Why it failed, or why it is tried again: for tests and closing notes, never shown.
    QString reason;
    // What the user is told when it failed; Kind::None for an unrecoverable answer, whose
    // cause only the transfer knows.
    TransferFailure failure;
};

RetryDecision decideRetry(const AttemptReport &report, const TransferPolicy &policy);

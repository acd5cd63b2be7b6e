#pragma once

#include "transfer/transferfailure.h"

#include <QDateTime>
#include <QString>

// Why a check for updates found no list it could use, in the terms the user is told.
struct ListFailure
{
    enum class Kind {
        None,
        // The list or its signature did not arrive (transfer says why).
        Transfer,
        // The list cannot be kept in the working directory.
        CannotWrite,
        // Over the byte cap or the entry cap.
        TooLarge,
        // No signature, a malformed one, one by no trusted key, or a list changed after it was
        // signed.
        BadSignature,
        // Signed by a trusted key, but its time has run out (expires).
        Expired,
        // A list in the working directory that cannot be read.
        Unreadable,
        // An answer with text in it, and not one list line: a login page, an error page.
        NotAList,
    };

    Kind kind = Kind::None;
    TransferFailure transfer;
    QDateTime expires;
};

// The one line shown under the fixed error text; empty for Kind::None.
QString listFailureText(const ListFailure &failure);

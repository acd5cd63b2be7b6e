#pragma once

#include <QByteArray>
#include <QDateTime>

enum class ListSignatureCheck {
    Valid,
    // Not a signature file of the accepted form: bad expires line, unknown or blank line,
    // no signature line, too large.
    Malformed,
    // Well formed, but no signature line verifies under any trusted key.
    Untrusted,
    // Signed by a trusted key, but its expiry is not after `now`.
    Expired,
};

// Decides whether `signatureText` (the .sig file) vouches for `list`. `trustedKeys` holds one or
// more base64 Ed25519 public keys separated by ';'. Each signature line covers the expires line
// with an LF ending, followed by the list's exact bytes. `expires` receives the expiry of a
// signature that a trusted key made (Valid or Expired).
ListSignatureCheck checkListSignature(const QByteArray &trustedKeys, const QByteArray &list,
    const QByteArray &signatureText, const QDateTime &now, QDateTime *expires = nullptr);

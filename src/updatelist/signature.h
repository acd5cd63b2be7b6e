#pragma once

#include <QByteArray>

// Ed25519 check of the update list: `publicKey` and `signature` are base64 texts (32 and 64
// raw bytes); `message` is the list exactly as served. Anything malformed fails.
bool verifyListSignature(const QByteArray &publicKey, const QByteArray &message,
                         const QByteArray &signature);

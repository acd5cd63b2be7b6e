#pragma once

#include <QByteArray>

#include <optional>

// What the list line says a file must be. A malformed element fails the file: it must never
// quietly turn the check off.
struct FileIntegrity
{
    std::optional<qint64> size;
    // Lower-case hex; empty when the line gives none.
    QByteArray sha256;
    bool malformed = false;
};

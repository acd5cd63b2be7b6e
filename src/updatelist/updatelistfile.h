#pragma once

#include "listfailure.h"
#include "updateentry.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <optional>

// No real list comes near these sizes; more bytes than that are an attack or a fault.
inline constexpr qint64 maxListBytes = 32 * 1024 * 1024;
inline constexpr qint64 maxSignatureBytes = 4096;

inline const QString updateListFileName = QStringLiteral("aktualizacje.txt");
inline QString signatureFileName(const QString &listFileName)
{
    return listFileName + QStringLiteral(".sig");
}

// Reads the list file (and with keys its .sig), removes them, and gives the entries when the
// list is within its caps, validly signed by one of the ';'-separated keys in `publicKey` (if
// any), names few enough components and, unless blank, holds at least one list line;
// nullopt otherwise, and then too when the file cannot be read, which is left where it is;
// `failure` then says why.
std::optional<QMap<QString, UpdateEntry>> readUpdateListFile(
    const QString &fileName, const QByteArray &publicKey, ListFailure *failure = nullptr);

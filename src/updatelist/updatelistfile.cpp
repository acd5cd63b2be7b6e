#include "updatelistfile.h"

#include "listsignature.h"
#include "transfer/regularfile.h"
#include "updatelistformat.h"

#include <QDateTime>
#include <QFile>

std::optional<QMap<QString, UpdateEntry>> readUpdateListFile(
    const QString &fileName, const QByteArray &publicKey)
{
    // A list larger than any real one is refused; reading one byte past the cap tells without
    // trusting a size that may change.
    std::optional<QByteArray> bytes = readRegularFile(fileName, maxListBytes + 1);
    if (!bytes)
        return std::nullopt;
    const bool oversized = bytes->size() > maxListBytes;
    if (oversized)
        bytes->clear();
    QFile::remove(fileName);

    if (!publicKey.isEmpty()) {
        // Only a list that one of the publisher's keys has signed, byte for byte, and whose
        // signature has not yet expired by this machine's clock is ever read.
        const QString signatureName = signatureFileName(fileName);
        QByteArray signature
            = readRegularFile(signatureName, maxSignatureBytes + 1).value_or(QByteArray());
        if (signature.size() > maxSignatureBytes)
            signature.clear();
        QFile::remove(signatureName);
        if (oversized
            || checkListSignature(publicKey, *bytes, signature, QDateTime::currentDateTimeUtc())
                != ListSignatureCheck::Valid)
            return std::nullopt;
    }
    // More components than the window can hold are refused before any page is built.
    return oversized ? std::nullopt : parseUpdateList(*bytes);
}

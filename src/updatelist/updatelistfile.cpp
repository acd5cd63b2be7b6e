#include "updatelistfile.h"

#include "listsignature.h"
#include "files/regularfile.h"
#include "updatelistformat.h"

#include <QDateTime>
#include <QFile>

std::optional<QMap<QString, UpdateEntry>> readUpdateListFile(
    const QString &fileName, const QByteArray &publicKey, ListFailure *failure)
{
    const auto refuse = [failure](ListFailure::Kind kind, const QDateTime &expires = {}) {
        if (failure)
            *failure = ListFailure {kind, {}, expires};
        return std::nullopt;
    };
    // A list larger than any real one is refused; reading one byte past the cap tells without
    // trusting a size that may change.
    std::optional<QByteArray> bytes = readRegularFile(fileName, maxListBytes + 1);
    if (!bytes)
        return refuse(ListFailure::Kind::Unreadable);
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
        if (oversized)
            return refuse(ListFailure::Kind::TooLarge);
        QDateTime expires;
        switch (checkListSignature(
            publicKey, *bytes, signature, QDateTime::currentDateTimeUtc(), &expires)) {
        case ListSignatureCheck::Valid:
            break;
        case ListSignatureCheck::Expired:
            return refuse(ListFailure::Kind::Expired, expires);
        case ListSignatureCheck::Malformed:
        case ListSignatureCheck::Untrusted:
            return refuse(ListFailure::Kind::BadSignature);
        }
    }
    if (oversized)
        return refuse(ListFailure::Kind::TooLarge);
    // More components than the window can hold are refused before any page is built.
    std::optional<QMap<QString, UpdateEntry>> entries = parseUpdateList(*bytes);
    if (!entries)
        return refuse(ListFailure::Kind::TooLarge);
    // An empty list offers nothing; text without a single list line is something else in the
    // list's place.
    if (entries->isEmpty() && !bytes->trimmed().isEmpty())
        return refuse(ListFailure::Kind::NotAList);
    return entries;
}

#include "listsignature.h"

#include "signature.h"
#include "updatelistfile.h"

#include <QDate>
#include <QRegularExpression>
#include <QTime>

#include <optional>

namespace {

// Only the one spelling the publisher's script writes, so that what is signed cannot be read
// in two ways.
std::optional<QDateTime> parseExpiresLine(const QByteArray &line)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^expires ([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})Z$"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(line));
    if (!match.hasMatch())
        return std::nullopt;
    const auto field = [&match](int group) {
        return match.capturedView(group).toInt();
    };
    const QDate date(field(1), field(2), field(3));
    const QTime time(field(4), field(5), field(6));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time, Qt::UTC);
}

bool isCanonicalBase64(const QByteArray &text, qsizetype decodedSize)
{
    const auto result
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return result && result.decoded.size() == decodedSize && result.decoded.toBase64() == text;
}

} // namespace

ListSignatureCheck checkListSignature(const QByteArray &trustedKeys, const QByteArray &list,
    const QByteArray &signatureText, const QDateTime &now, QDateTime *expiresAt)
{
    if (signatureText.size() > maxSignatureBytes || !signatureText.endsWith('\n'))
        return ListSignatureCheck::Malformed;
    QList<QByteArray> lines = signatureText.chopped(1).split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    if (lines.size() < 2)
        return ListSignatureCheck::Malformed;
    const std::optional<QDateTime> expires = parseExpiresLine(lines.first());
    if (!expires)
        return ListSignatureCheck::Malformed;

    static const QByteArray signaturePrefix("ed25519 ");
    QList<QByteArray> signatures;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const QByteArray signature = line.mid(signaturePrefix.size());
        if (!line.startsWith(signaturePrefix) || !isCanonicalBase64(signature, 64))
            return ListSignatureCheck::Malformed;
        signatures.append(signature);
    }

    const QByteArray message = lines.first() + '\n' + list;
    bool trusted = false;
    const QList<QByteArray> keys = trustedKeys.split(';');
    for (const QByteArray &key : keys) {
        if (!isCanonicalBase64(key, 32))
            continue;
        for (const QByteArray &signature : signatures)
            trusted = trusted || verifyListSignature(key, message, signature);
    }
    if (!trusted)
        return ListSignatureCheck::Untrusted;
    if (expiresAt)
        *expiresAt = *expires;
    // An expiry equal to now has run out: the list was good until then, not at it.
    return *expires > now ? ListSignatureCheck::Valid : ListSignatureCheck::Expired;
}

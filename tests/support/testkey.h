#pragma once

#include <QByteArray>
#include <QDateTime>

#include <initializer_list>

#include <openssl/evp.h>

// An Ed25519 key pair of the test's own, standing in for the publisher's.
class TestKey
{
public:
    TestKey()
    {
        EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        if (context && EVP_PKEY_keygen_init(context) == 1)
            EVP_PKEY_keygen(context, &key);
        EVP_PKEY_CTX_free(context);
    }
    ~TestKey() { EVP_PKEY_free(key); }
    TestKey(const TestKey &) = delete;
    TestKey &operator=(const TestKey &) = delete;

    QByteArray publicKeyBase64() const
    {
        unsigned char raw[32];
        size_t length = sizeof raw;
        if (!key || EVP_PKEY_get_raw_public_key(key, raw, &length) != 1)
            return {};
        return QByteArray(reinterpret_cast<const char *>(raw), qsizetype(length)).toBase64();
    }

    QByteArray signatureBase64(const QByteArray &message) const
    {
        unsigned char signature[64];
        size_t length = sizeof signature;
        EVP_MD_CTX *context = EVP_MD_CTX_new();
        const bool ok = key && context
            && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1
            && EVP_DigestSign(context, signature, &length,
                   reinterpret_cast<const unsigned char *>(message.constData()),
                   size_t(message.size()))
                == 1;
        EVP_MD_CTX_free(context);
        if (!ok)
            return {};
        return QByteArray(reinterpret_cast<const char *>(signature), qsizetype(length)).toBase64();
    }

private:
    EVP_PKEY *key = nullptr;
};

// The text of a list's .sig file: the expires line, then one signature line per key, each over
// the expires line and the list.
inline QByteArray signatureFile(const QByteArray &list, std::initializer_list<const TestKey *> keys,
    const QDateTime &expires = QDateTime::currentDateTimeUtc().addDays(1))
{
    const QByteArray expiresLine
        = "expires " + expires.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")).toLatin1();
    QByteArray text = expiresLine + '\n';
    for (const TestKey *key : keys)
        text += "ed25519 " + key->signatureBase64(expiresLine + '\n' + list) + '\n';
    return text;
}

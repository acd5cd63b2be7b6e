#include "signature.h"

#include <openssl/evp.h>

#include <memory>
#include <optional>

namespace {

std::optional<QByteArray> decodeBase64(const QByteArray &text, qsizetype expectedSize)
{
    const auto result = QByteArray::fromBase64Encoding(text.trimmed(),
                                                       QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != expectedSize)
        return std::nullopt;
    return result.decoded;
}

} // namespace

bool verifyListSignature(const QByteArray &publicKey, const QByteArray &message,
                         const QByteArray &signature)
{
    const std::optional<QByteArray> key = decodeBase64(publicKey, 32);
    const std::optional<QByteArray> sig = decodeBase64(signature, 64);
    if (!key || !sig)
        return false;

    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
            EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                        reinterpret_cast<const unsigned char *>(key->constData()),
                                        size_t(key->size())),
            &EVP_PKEY_free);
    if (!pkey)
        return false;
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(sig->constData()),
                            size_t(sig->size()),
                            reinterpret_cast<const unsigned char *>(message.constData()),
                            size_t(message.size()))
            == 1;
}

#include "signature.h"

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <optional>

namespace {

using Number = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

Number number(BN_ULONG value = 0)
{
    Number result(BN_new(), &BN_free);
    if (result && BN_set_word(result.get(), value) != 1)
        result.reset();
    return result;
}

// Whether the 32 bytes encode, in their one canonical form, a point of the curve whose order is
// not small. OpenSSL takes any 32 bytes as a key; under a point of small order (the identity,
// say) a signature that no private key made verifies for every message.
bool isUsablePublicKey(const QByteArray &key)
{
    const std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> context(BN_CTX_new(), &BN_CTX_free);
    const Number p = number(), d = number(), y = number(), yy = number(), xx = number(),
                 top = number(), bottom = number(), scratch = number();
    if (!context || !p || !d || !y || !yy || !xx || !top || !bottom || !scratch)
        return false;
    BN_CTX *ctx = context.get();
    // p = 2^255 - 19, d = -121665 / 121666.
    if (!BN_set_bit(p.get(), 255) || !BN_sub_word(p.get(), 19) || !BN_set_word(top.get(), 121665)
        || !BN_sub(top.get(), p.get(), top.get()) || !BN_set_word(bottom.get(), 121666)
        || !BN_mod_inverse(bottom.get(), bottom.get(), p.get(), ctx)
        || !BN_mod_mul(d.get(), top.get(), bottom.get(), p.get(), ctx))
        return false;

    // Little-endian y; the top bit only picks the sign of x.
    unsigned char bytes[32];
    std::copy(key.cbegin(), key.cend(), bytes);
    bytes[31] &= 0x7f;
    if (!BN_lebin2bn(bytes, sizeof bytes, y.get()) || BN_cmp(y.get(), p.get()) >= 0)
        return false;

    // x^2 = (y^2 - 1) / (d y^2 + 1); the denominator is never zero, since d is no square.
    const auto xSquared = [&] {
        return BN_mod_sqr(yy.get(), y.get(), p.get(), ctx)
            && BN_mod_sub(top.get(), yy.get(), BN_value_one(), p.get(), ctx)
            && BN_mod_mul(bottom.get(), d.get(), yy.get(), p.get(), ctx)
            && BN_mod_add(bottom.get(), bottom.get(), BN_value_one(), p.get(), ctx)
            && BN_mod_inverse(bottom.get(), bottom.get(), p.get(), ctx)
            && BN_mod_mul(xx.get(), top.get(), bottom.get(), p.get(), ctx);
    };
    if (!xSquared() || BN_kronecker(xx.get(), p.get(), ctx) < 0)
        return false;
    // The cofactor is 8: the order is small when three doublings reach the identity, (0, 1).
    // Doubling maps y to (y^2 + x^2) / (2 + x^2 - y^2), whose denominator a point never zeroes.
    for (int doubling = 0; doubling < 3; ++doubling) {
        if ((doubling > 0 && !xSquared())
            || !BN_mod_add(top.get(), yy.get(), xx.get(), p.get(), ctx)
            || !BN_set_word(scratch.get(), 2)
            || !BN_mod_add(bottom.get(), scratch.get(), xx.get(), p.get(), ctx)
            || !BN_mod_sub(bottom.get(), bottom.get(), yy.get(), p.get(), ctx)
            || !BN_mod_inverse(bottom.get(), bottom.get(), p.get(), ctx)
            || !BN_mod_mul(y.get(), top.get(), bottom.get(), p.get(), ctx))
            return false;
    }
    return !BN_is_one(y.get());
}

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
    if (!key || !sig || !isUsablePublicKey(*key))
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

#include "sha256.h"

#include <openssl/evp.h>

Sha256::Sha256()
    : context(EVP_MD_CTX_new())
{
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(context);
}

void Sha256::reset()
{
    ok = context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
}

void Sha256::addData(const char *data, qsizetype size)
{
    ok = ok && (size <= 0 || EVP_DigestUpdate(context, data, size_t(size)) == 1);
}

QByteArray Sha256::hexResult() const
{
    if (!ok)
        return {};
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool done = copy && EVP_MD_CTX_copy_ex(copy, context) == 1
        && EVP_DigestFinal_ex(copy, digest, &length) == 1;
    EVP_MD_CTX_free(copy);
    return done ? QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex()
                : QByteArray();
}

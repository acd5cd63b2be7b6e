#pragma once

#include <QByteArray>

struct evp_md_ctx_st;

// SHA-256 through libcrypto, which uses the CPU's SHA instructions where it has them: every
// byte of every file passes through here once or twice, and the toolkit's own digest runs at a
// tenth of that speed.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(const char *data, qsizetype size);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // Lower-case hex of what was added so far; more may be added afterwards. Empty when
    // libcrypto failed (no memory), which no checksum on a list line can match.
    QByteArray hexResult() const;
    void reset();

private:
    evp_md_ctx_st *context;
    bool ok = false;
};

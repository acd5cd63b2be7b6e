#include "transferrequest.h"

#include "buildconfig.h"

namespace {

// Every request says who asks, so that the server's log tells the updater, and which release of
// it, from a browser.
QByteArray userAgent()
{
#ifdef Q_OS_WIN
    constexpr char platform[] = "Windows";
#else
    constexpr char platform[] = "Linux";
#endif
    return QByteArray("Aktualizator/") + applicationVersion + " (WELOR; " + platform + ')';
}

} // namespace

QNetworkRequest transferRequest(
    const QUrl &url, const QList<QPair<QByteArray, QByteArray>> &extraHeaders, int noDataTimeoutMs)
{
    QNetworkRequest request(url);
    // Qt follows redirects by default, but never from https to http; keep it that way.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // The files are binaries and gain nothing from compression. Uncompressed, the announced
    // length is the file's length, and Qt never decodes a stream whose end it cannot vouch for.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    for (const auto &[name, value] : extraHeaders)
        request.setRawHeader(name, value);
    request.setTransferTimeout(noDataTimeoutMs);
    return request;
}

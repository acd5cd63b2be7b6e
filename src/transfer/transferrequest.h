#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkRequest>
#include <QPair>
#include <QUrl>

// The request every transfer sends for `url`: redirects never to a less safe scheme, no
// compression, the updater named in User-Agent, the caller's own headers, and the time without
// data after which the attempt ends.
QNetworkRequest transferRequest(
    const QUrl &url, const QList<QPair<QByteArray, QByteArray>> &extraHeaders, int noDataTimeoutMs);

#pragma once

#include <QList>
#include <QString>
#include <QUrl>

// Where a link of the list is fetched from, in the order to try. An absolute link (one with a
// scheme) is fetched as given, from that one place. A relative one names the same path below
// every address: it is resolved against each of `listUrls` (the list's URL at its own address,
// then at those that follow) as RFC 3986 resolves a reference. Without any list URL the link
// stays as given, and its missing scheme refuses it.
QList<QUrl> linkUrls(const QString &link, const QList<QUrl> &listUrls);

// Whether a link may be requested at all: http or https, with a host. "http:x" or
// "http:/files/x" names a scheme but no server, so no request could reach one.
bool isRequestableLink(const QUrl &url);

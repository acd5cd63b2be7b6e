#include "linkresolution.h"

#include "transfer/filetransfer.h"

QList<QUrl> linkUrls(const QString &link, const QList<QUrl> &listUrls)
{
    const QUrl url(link);
    // A reference without a path ("", "?x", "#x") would resolve to the list itself: a line that
    // names no file is refused as before, not turned into a copy of the list.
    const bool namesAPath = !url.path().isEmpty() || !url.authority().isEmpty();
    if (!url.isRelative() || listUrls.isEmpty() || !namesAPath)
        return {url};
    QList<QUrl> urls;
    for (const QUrl &listUrl : listUrls)
        urls.append(listUrl.resolved(url));
    return urls;
}

bool isRequestableLink(const QUrl &url)
{
    return FileTransfer::isSupportedScheme(url) && !url.host().isEmpty();
}

#include "serveraddresses.h"

#include "updatelistfile.h"

QStringList serverAddresses(const QString &serverBase)
{
    QStringList addresses;
    const QStringList entries = serverBase.split(QLatin1Char(';'));
    for (const QString &entry : entries) {
        const QString address = entry.trimmed();
        if (!address.isEmpty())
            addresses.append(address);
    }
    if (addresses.isEmpty())
        addresses.append(serverBase);
    return addresses;
}

QUrl listUrlAt(const QString &address)
{
    return QUrl(address + QLatin1Char('/') + updateListFileName);
}

QList<QUrl> listUrlsFrom(const QStringList &addresses, qsizetype first)
{
    QList<QUrl> urls;
    for (qsizetype i = qMax<qsizetype>(first, 0); i < addresses.size(); ++i)
        urls.append(listUrlAt(addresses.at(i)));
    return urls;
}

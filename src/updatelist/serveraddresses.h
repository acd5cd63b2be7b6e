#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

// The update server's addresses in the order they are tried: the built-in value holds one or
// more, separated by ';'. Blanks around an address and empty entries count for nothing; a value
// that holds no address at all gives itself, which then fails like any unreachable server.
QStringList serverAddresses(const QString &serverBase);

// Where the list lies below one address.
QUrl listUrlAt(const QString &address);

// The list's URL at each address from `first` on: the list's own address and those that follow
// it, where a relative link is looked for in turn.
QList<QUrl> listUrlsFrom(const QStringList &addresses, qsizetype first);

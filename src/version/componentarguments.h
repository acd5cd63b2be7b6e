#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// What the main product told us on the command line: installed versions by component name
// (later arguments win) and whether "detached" closed the list.
struct ComponentArguments
{
    QMap<QString, quint32> versions;
    bool detached = false;
};

// arguments[0] is the program's own name and never a component.
ComponentArguments parseComponentArguments(const QStringList &arguments);

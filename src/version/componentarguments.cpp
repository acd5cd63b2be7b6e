#include "componentarguments.h"

#include "version.h"

ComponentArguments parseComponentArguments(const QStringList &arguments)
{
    ComponentArguments result;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QStringList pieces = arguments.at(i).split(QStringLiteral("::"), Qt::KeepEmptyParts);
        if (pieces.size() < 2)
            continue;
        result.versions.insert(pieces.at(0), parseVersion(pieces.at(0), pieces.at(1)));
    }
    result.detached = arguments.size() > 1 && arguments.constLast() == QLatin1String("detached");
    return result;
}

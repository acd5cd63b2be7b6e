#pragma once

#include <QString>
#include <QStringView>

// The names only the updater makes beside a file it replaces. New bytes wait under a staging
// name ("NAME.aktualizator-XXXXXX.tmp") until one rename puts them in place; a former file that
// has to step aside while the updater renews its own files waits under a set-aside name
// ("NAME.aktualizator-XXXXXX.old"). No list line can name either: the server never chooses them.

#ifdef Q_OS_WIN
// Windows compares names without case, so a left-over file may differ from the target in case.
inline constexpr Qt::CaseSensitivity fileNameCase = Qt::CaseInsensitive;
#else
inline constexpr Qt::CaseSensitivity fileNameCase = Qt::CaseSensitive;
#endif

enum class UpdaterName { None, Staging, SetAside };

// Which of the two kinds `fileName` is, if either.
UpdaterName updaterNameKind(QStringView fileName);
// True for the names of staging or set-aside files: never the name of a file the server may
// choose.
bool isStagingName(QStringView fileName);
// True when `fileName` is a staging name made for `targetName`.
bool isStagingNameOf(QStringView fileName, QStringView targetName);
// The name the staging or set-aside `fileName` was made for; empty for any other name.
QString updaterNameTarget(QStringView fileName);

QString randomStagingName(const QString &targetName);
QString randomSetAsideName(const QString &targetName);

// The name under which bytes on their way to `targetName` are kept aside (a patch). Its
// left-over staging files go with the target's own.
QString sideFileName(const QString &targetName);

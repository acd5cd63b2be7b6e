#pragma once

#include <QString>

#include <functional>

// Starts the updater `program` from `folder` with --self-check, as a renewal of the updater's
// own files does once the new files have their names. True when it ends by itself with status
// 0 within `timeoutMs`, having written nothing to standard output; its output goes to this
// process, never to WELOR's. Otherwise `why` says what went wrong.
bool runUpdaterSelfCheck(
    const QString &program, const QString &folder, int timeoutMs = 10000, QString *why = nullptr);

// The self-check of the executable of this program's name in `folder`, run from there, with
// the outcome and how long it took written to the aktualizator.self log.
std::function<bool()> ownUpdaterSelfCheck(const QString &folder);

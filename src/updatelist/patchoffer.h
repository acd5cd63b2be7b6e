#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// A patch the list offers for one line: applied to the installed file whose SHA-256 is `from`,
// it gives the line's new file. Only ever a shorter way to the same checked bytes.
struct PatchOffer
{
    // Lower-case hex.
    QByteArray from;
    QByteArray sha256;
    qint64 size = 0;
    QString link;
};

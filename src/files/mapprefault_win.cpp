#include "mapprefault.h"

MapPrefault::MapPrefault() = default;

MapPrefault::~MapPrefault() = default;

void MapPrefault::written(uchar *mapped, qint64 mapSize, qint64 written)
{
    Q_UNUSED(mapped)
    Q_UNUSED(mapSize)
    Q_UNUSED(written)
}

QFuture<void> MapPrefault::stop()
{
    return QtFuture::makeReadyFuture();
}

void MapPrefault::ahead() { }

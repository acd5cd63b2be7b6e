#include "writeback.h"

WriteBack::WriteBack() = default;

WriteBack::~WriteBack() = default;

void WriteBack::written(const QFile &file, qint64 end)
{
    Q_UNUSED(file)
    Q_UNUSED(end)
}

void WriteBack::restart() { }

void WriteBack::stop() { }

void WriteBack::handOn() { }

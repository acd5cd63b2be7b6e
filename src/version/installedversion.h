#pragma once

#include <QtGlobal>

// One installed component as the main product reported it on the command line.
struct InstalledVersion
{
    quint32 version = 0;
};

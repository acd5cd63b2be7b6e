#pragma once

#include <QString>

// Name under which the main product appears on the command line and in the update list.
inline constexpr char mainProductName[] = "WELOR";

// Value given to a main-product version whose date cannot be read; newer than any real date.
inline constexpr quint32 unreadableVersion = 0xFFFFFFFFu;

quint32 parseVersion(const QString &name, const QString &text);
QString formatVersion(quint32 version);

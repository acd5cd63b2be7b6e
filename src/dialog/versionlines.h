#pragma once

#include <QString>

// The rich-text version lines of the list pages. Names are escaped: a component called
// "<b>" or "R&D" must be shown as typed, not interpreted.
namespace VersionLines {
QString plain(const QString &name, quint32 version);
QString older(const QString &name, quint32 offered);
QString current(const QString &name, quint32 installed);
QString added(const QString &name, quint32 offered);
} // namespace VersionLines

#pragma once

#include <QString>

// The rich-text version lines of the list pages. Names are escaped: a component called
// "<b>" or "R&D" must be shown as typed, not interpreted.
namespace VersionLines {

enum class Kind {
    Plain, // installed, not named by the update list
    Older, // installed in an older version than the one offered
    Current, // installed in the offered version or a newer one
    Added, // offered, not installed
};

// The translated template of a line: %1 stands for the name, %2 for the version shown.
QString source(Kind kind);
// The line as rich text, for the version text shown.
QString text(Kind kind, const QString &name, const QString &version);

} // namespace VersionLines

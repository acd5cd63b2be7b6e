// Linked into every test program on Windows only.
//
// Wine hands the host's TZ on to Windows programs, and the C runtime reads TZ in its own old
// format, with United States daylight-saving dates, so a POSIX rule there gives wrong local
// times. Without TZ the runtime asks the system for the zone, and Wine takes that from the
// host's TZ: the Windows stage starts Wine with the fixed Central European rule.

#include <QtGlobal>

#include <cstdlib>
#include <ctime>

namespace {

void useSystemZone()
{
    _putenv("TZ=");
    _tzset();
}

Q_CONSTRUCTOR_FUNCTION(useSystemZone)

} // namespace

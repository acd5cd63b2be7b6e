#pragma once

// How putting new bytes in a file's place ended. Held: another program has the target or the
// staging file open, so the rename was refused; the staging file is kept for another try.
// Failed: the staging file is gone. Foreign: the staging name no longer led to the file written
// here (another program moved it, or put its own file or a link there), so the bytes behind it
// were never checked; the target is as it was and the name is gone.
enum class ReplaceOutcome { Done, Held, Failed, Foreign };

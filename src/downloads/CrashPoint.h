// Named steps at which a test can make the process die as a crash would:
// with the environment variable SX_CRASH_AT=<name>, reaching CrashPoint(name)
// kills the process at once (SIGKILL: no clean-up, no flushing). Without the
// variable it does nothing.
#pragma once

// Steps of finalization, in their order.
inline constexpr const char* CrashAfterTempWritten = "temp-written";     // temporary file complete, not renamed
inline constexpr const char* CrashAfterRename = "renamed";               // target in place, state not finished
inline constexpr const char* CrashAfterFinishedPosted = "finished-posted"; // finished save posted, maybe not run
inline constexpr const char* CrashAfterFinishedSaved = "finished-saved";   // finished state in the database
inline constexpr const char* CrashAfterWorkingDeleted = "working-deleted"; // working file gone

void CrashPoint(const char* aName);

// One run of sorvelinx-sync: sign in, bring the catalog up to date, apply a
// basket answer, download until no file can make progress, shut down.
#pragma once

#include "app/sync/SyncOptions.h"

enum TSyncExitCode : int {
    secSuccess = 0,
    secFileFailed = 1,
    secSignInFailed = 2,
    secCatalogFailed = 3,
    secUsage = 64,
    secInterrupted = 130,
};

// Jobs of a file that failed one after another with no block arriving
// before the run gives the file up as failed.
inline constexpr int SyncGiveUpFailures = 6;

// The whole run; returns the exit code. Needs a QCoreApplication.
int RunSync(const TSyncOptions& aOptions);

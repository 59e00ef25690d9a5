// Missing values on the procedure's side: the representation and the key
// comparison are the host's (vyr_missing.h); the scan in the kernel's size
// types is here.
#pragma once

#include "vyr_kernel.h"
#include "vyr_missing.h"

// 1 when any of dp[0] .. dp[len-1] is missing, else 0 (wzmisn for callers that
// count in the kernel's unsigned size type).
QXBoolean skMissArray(const double* dp, QXMemSize len);

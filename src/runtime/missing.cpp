// The missing-value scan in the kernel's size types.
#include "runtime/missing.h"

QXBoolean skMissArray(const double* dp, QXMemSize len)
{
    for (QXMemSize i = 0; i < len; ++i)
        if (wzmis(dp[i]))
            return 1;
    return 0;
}

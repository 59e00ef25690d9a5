// The later stages the BY-group driver hands each group to: estimation,
// tests, plots, competing risks, restricted means. Each stage lives in its own
// room; the driver calls a stage when this build declares it (its room's
// header is present), and otherwise leaves the call out. A stage call returns
// an empty optional when the stage is not part of the build, else its result
// (0 for a stage that returns nothing).
#pragma once

#include <optional>
#include <type_traits>

#if __has_include("results/results.h")
#include "results/results.h"
#endif
#if __has_include("estimate/estimate.h")
#include "estimate/estimate.h"
#endif
#if __has_include("homogeneity/homogeneity.h")
#include "homogeneity/homogeneity.h"
#endif
#if __has_include("mcomp/mcomp.h")
#include "mcomp/mcomp.h"
#endif
#if __has_include("cmprisk/cmprisk.h")
#include "cmprisk/cmprisk.h"
#endif
#if __has_include("rmst/rmst.h")
#include "rmst/rmst.h"
#endif
#if __has_include("lpplot/lpplot.h")
#include "lpplot/lpplot.h"
#endif
#if __has_include("devplot/devplot.h")
#include "devplot/devplot.h"
#endif

// stage_NAME(args...): calls NAME(args...) when a declaration of NAME for
// these arguments is visible (found through the arguments' namespace at the
// point of use), else does nothing; stage_available_NAME(args...) tells
// which.
#define KORV_STAGE(name)                                                                           \
    template <class... A> std::optional<int> stage_##name(A... a)                                  \
    {                                                                                              \
        if constexpr (requires { name(a...); }) {                                                  \
            if constexpr (std::is_void_v<decltype(name(a...))>) {                                  \
                name(a...);                                                                        \
                return 0;                                                                          \
            } else {                                                                               \
                return static_cast<int>(name(a...));                                               \
            }                                                                                      \
        } else {                                                                                   \
            return std::nullopt;                                                                   \
        }                                                                                          \
    }                                                                                              \
    template <class... A> constexpr bool stage_available_##name(A... a)                            \
    {                                                                                              \
        return requires                                                                            \
        {                                                                                          \
            name(a...);                                                                            \
        };                                                                                         \
    }

KORV_STAGE(korvut)
KORV_STAGE(korvmxt)
KORV_STAGE(korvpbg)
KORV_STAGE(korvpl)
KORV_STAGE(korvwpl)
KORV_STAGE(korvtb)
KORV_STAGE(korvxsg)
KORV_STAGE(korvtes)
KORV_STAGE(korvsum)
KORV_STAGE(korvcp)
KORV_STAGE(korvplt)
KORV_STAGE(korvfp)
KORV_STAGE(korvleg)
KORV_STAGE(korvgp1)
KORV_STAGE(korvpol)
KORV_STAGE(StratifiedSurvival)
KORV_STAGE(StratifiedSmoothedHazard)
KORV_STAGE(korvpsg)
KORV_STAGE(korvrms)
KORV_STAGE(zggrend)
KORV_STAGE(korvdac)
KORV_STAGE(korvcit)
KORV_STAGE(korvcif)
KORV_STAGE(BandCritVal)
KORV_STAGE(MultipleComparisons)

#undef KORV_STAGE

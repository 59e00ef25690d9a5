// The procedures this korvante can run: each registers its entry here; a
// PROC whose entry is not registered ends its step with a clear error.

#include "app/procedures.h"

#include "frame/frame.h"
#include "mcomp/qxmclsm.h"
#include "runtime/pgraf.h"
#include "vyr_graphics.h"

void korv_app_register_procedures()
{
    korv_register_procedure(); // PROC KORVANTE
    // The comparison engine, which the procedure loads by name through the
    // kernel handle.
    korv_mcomp_register_engine();
    // The graphs' axes take their ticks from the character plots' nice-axis
    // routine, as the procedure's at-risk times do.
    vyr_graphics_set_axis(znaxis);
}

// The procedures this korvante can run: each registers its entry here; a
// PROC whose entry is not registered ends its step with a clear error.

#include "app/procedures.h"

#include "frame/frame.h"
#include "mcomp/qxmclsm.h"

void korv_app_register_procedures()
{
    korv_register_procedure(); // PROC KORVANTE
    // The comparison engine, which the procedure loads by name through the
    // kernel handle.
    korv_mcomp_register_engine();
}

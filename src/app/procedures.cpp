// The procedures this korvante can run: each registers its entry here; a
// PROC whose entry is not registered ends its step with a clear error.

#include "app/procedures.h"

#include "frame/frame.h"

void korv_app_register_procedures()
{
    korv_register_procedure(); // PROC KORVANTE
}

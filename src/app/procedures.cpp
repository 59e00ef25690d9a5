// The procedures this korvante can run. A procedure room that is present in
// the build registers its entry here; a PROC whose entry is not registered
// ends its step with a clear error.

#include "app/procedures.h"

#include "vyr_session.h"

#if __has_include("frame/frame.h")
#include "frame/frame.h"
#define KORV_HAVE_FRAME 1
#endif

void korv_app_register_procedures()
{
#ifdef KORV_HAVE_FRAME
    korv_register_procedure(); // PROC KORVANTE
#endif
}

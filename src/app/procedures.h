// Registration of the procedures built into korvante.
#pragma once

void korv_app_register_procedures();

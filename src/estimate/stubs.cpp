// Stages of survival estimation that this version does not have yet. Each is
// a named stub that refuses its feature (korv_refuse); the feature's flag
// below tells the frame, which refuses the request before any output. A stage
// that gets built replaces its stub here, and its flag moves beside it.
#include "common/stages.h"

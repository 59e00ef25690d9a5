// The procedure's statement grammar and the routine that hands it to the
// host parser.
#pragma once

#include "vyr_parse.h"

// A parse-control block for this procedure's grammar, from the task pool;
// ends the step with 1016 when the pool is exhausted. Owned by the pool.
PARSECONTROL* korvg();

// The grammar itself (productions with their semantic actions and the
// repair bounds), for the parser and for tests.
const GRAMMARDEF* korvg_grammar();

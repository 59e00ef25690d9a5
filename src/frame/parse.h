// Statement options into the common block: the procedure statement and its
// companions (parse), the SURVIVAL statement (ParseSurvival) and the STRATA
// statement (ParseStrataStmt). The option records they make (CMPRISK,
// SMOOTHED, ATRISKTIME, HRPLOTSTR, SURVDIFF and CNAMES) are in
// common/options.h.
#pragma once

#include "common/korvcom.h"
#include "common/options.h"
#include "vyr_parse.h"

// ---------------------------------------------------------------------------
// The routines.

// Parses the step's statements and turns them into the common block's
// settings; ends the step with xexit on the errors of the options.
void parse(KORVCOM* q);
// The survival-estimate options (SURVIVAL statement or procedure statement).
void ParseSurvival(KORVCOM* q, STMT* stmt);
// The STRATA statement's record.
void ParseStrataStmt(KORVCOM* q, STMT* stmt);

// The parts of parse, callable on their own (tests call them with a record
// and a mode instead of a live output layer): settings from the procedure
// record once the plot mode (0 line printer, 1 device graphics, 2 output-
// layer graphics) is known.
void korv_parse_options(KORVCOM* q, STMT* proc, int mode);

// The sort wrapper and the variable-definition copy: thin layers over the
// host sort (zsortap) and the host's definition copy (xvputcv).
#pragma once

#include "vyr_data.h"
#include "vyr_sort.h"

// Runs the host sort on request z. The caller's start exit (initf) is parked
// in z->info.gseqin and run by init_wrapper, which turns the callbacks the
// start exit sets into the entries the host calls. Afterwards every entry
// slot gseqin .. gmidf is cleared. Returns the host sort's result.
int zsort(ZSORTSTR* z);

// The start exit the host calls: runs the parked caller start exit and makes
// entries for the callbacks it left set. Returns the caller's result.
int init_wrapper(SORTSTR* info, void* a1, void* a2, void* a3, void* a4, void* a5);

// Clears every set entry slot of info (gmidf back to gseqin).
void wrapper_cleanup(SORTSTR* info);

// Copies variable definitions from input data set `fileid` into the output
// definitions `xvptr` (host xvputcv). When the input asks for it (information
// item 128), the copied variables carry attribute bit 0x400 during the copy.
// `list` holds variable numbers (their absolute values count), or is null for
// every variable.
int zvputcv(XVHANDLE* xvptr, DSHANDLE* fileid, int* list, int nvar, int* ovlist);

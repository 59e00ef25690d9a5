// Parser glue: completes a parse-control block with the host's token and
// semantic routines and a tracking anchor, runs the host parser on the
// current step, and reads names out of a parsed name list.
#pragma once

#include "vyr_parse.h"

// Runs the host parser (xsproc) on the current step with block uppc; fills
// the block's empty token and semantic routines with the host's standard
// ones and its tracking anchor. Returns xsproc's result; the parse status is
// in uppc->error.
int xsparse(PARSECONTROL* uppc, USERINTERACT* uic);

// Installs a token routine, a semantic routine or a tracking anchor of the
// caller's own.
void xsctok(PARSECONTROL* uppc, PARSETOKFN toklp);
void xscsem(PARSECONTROL* uppc, PARSESEMFN semlp);
void xsctrak(PARSECONTROL* uppc, void* trackptr);

// Element `elemnum` (from 0) of a parsed name list: a chain of blocks, each
// with the next block's address in its second word, the number of its last
// element in its fourth word and, from byte 32, its names one after another
// (a length byte, then the characters). Sets *npp and *nlp and returns 0, or
// returns 1 (outputs untouched) when the list is empty or too short.
int zgetnmr(const void* listptr, int elemnum, const char** npp, int* nlp);

// The host's standard token and semantic routines (the defaults xsparse
// installs). This host's parser reads tokens and runs semantic actions
// itself, so both only acknowledge.
int xstdtok(PARSECONTROL* pc, void* token);
int xsem(PARSECONTROL* pc, int kind, const int* args, int nargs);

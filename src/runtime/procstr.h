// Task initialisation and the memory-pool handlers.
#pragma once

#include <cstdint>

#include "vyr_host.h"

struct STMT; // parsed statement, declared by the parser

// The procedure block: the anchor of the parsed statements and of the print
// lines, allocated by xinit from the task pool and kept in the host's
// per-procedure anchor.
struct PROCSTR {
    STMT* head;        // first parsed statement
    STMT* last;        // last parsed statement
    STMT* current;     // statement being worked on
    int16_t error;     // parser status (non-zero: the parse failed with that code)
    char name[32];     // procedure name
    void* curfile;     // current data set of the parser
    void* lookfile;    // data set variable names are looked up in
    int listnum;       // number of names in the current list
    char firstvar[32]; // first variable name of a range
    int firstlen;      // its length
    char lastvar[32];  // last variable name of a range
    int lastlen;       // its length
    double dostart;    // start of a number list range
    double doend;      // end of a number list range
    double doby;       // step of a number list range
    void* custom;      // parser customisation
    int lastn;         // count of the last list
    void* userptr;     // free slot for the procedure
    void* procptr;     // the procedure's own pointer
    char oldnamepool[64];
    LINESTR* proc_logl; // log line
    LINESTR* proc_prnl; // print line
    LINESTR* proc_outl; // output line of the print file
    LINESTR* proc_msgl; // message line
    void* reentry[5];   // re-entry pointers of the parser
    char proc_syndebug; // DEBUG contains SYN
    char proc_semdebug; // DEBUG contains SEM
    char proc_synerror; // a syntax error was reported
    char proc_debug;    // debug switch
    void* proc_seffectptr;
    char namepool[64];
    void* casAttrCntl;
};

// The procedure block of the running step (null before xinit).
inline PROCSTR* korv_procstr()
{
    return static_cast<PROCSTR*>(*xprocanchor());
}

// The module-connect hook; it has nothing to do on this host.
void himodcn();

// Allocate len bytes from pool pid through its allocate operation (flags
// widened with their sign). Both alike; the address is returned unchecked.
void* vmalloc_handler(POOLHANDLE* pid, int64_t len, int flags);
void* vmalcp_handler(POOLHANDLE* pid, int64_t len, int flags);
// Hands a block back through the pool's free operation; len may be -1 or 0
// where the caller does not know it.
void vmfree_handler(POOLHANDLE* pid, void* addr, int64_t len, int flags);

// Task initialisation: allocates the procedure block, opens the print, log
// and message lines, and reads the SYN and SEM switches of the DEBUG option.
// The host's arguments of the procedure entry are accepted and not read.
void xinit(void* a1 = nullptr, void* a2 = nullptr, void* a3 = nullptr, void* a4 = nullptr,
           void* a5 = nullptr, void* a6 = nullptr);

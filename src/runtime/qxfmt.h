// Kernel value formatting for the levelizer's worker threads, and the wait
// on kernel events.
#pragma once

#include "vyr_kernel.h"

#include <cstddef>
#include <cstdint>

struct ZNQVFMTGLOBAL;

// One formatting context, owned by one worker thread.
struct ZNQVFMT {
    char* c;                       // output: the formatted value in host characters
    QXMemSize toprintl;            // output: bytes in c; 0 after any failure
    double numvalin;               // input value of a numeric variable
    char* stringin;                // input value of a character variable
    int stringinl;                 // its length in bytes
    QXChar* QXc;                   // the format's output (maxvarlen characters)
    QXChar* QXin;                  // a character value in kernel characters
    QXFmtStrp* genfh;              // the kernel format of each variable
    ZNQVFMTGLOBAL* g;              // shared description; null: not set up
    QXNLSPipelineh pipeFromQXChar; // kernel characters -> cei, made on first need
    QXNLSPipelineh pipeToQXChar;   // cei -> kernel characters, made on first need
};

// Shared description of the variables.
struct ZNQVFMTGLOBAL {
    int n;          // number of formatting contexts
    int nvars;      // number of variables
    void* fid;      // the input data set
    int* varlen;    // per variable: the formatted length
    int* vartype;   // per variable: 1 numeric, otherwise character
    int* nflen;     // per variable: width of a numeric format
    int* nfd;       // per variable: decimals of a numeric format
    long* varnums;  // per variable: its number in the data set
    int maxvarlen;  // capacity of the work buffers and of c, in characters / bytes
    int maxuserlen; // largest input length of a character variable
    int64_t cei;    // the host character encoding
    QXPoolh qxPool; // the pool holding the context
    void* fmtextho; // the formatting extension
    QXNLSh qxnls;   // the national-language object (makes the pipelines)
    ZNQVFMT* fmt;   // the contexts, n of them
    void* fmtexth;  // the formatting object
};

// Return codes of QXFormatToNQV.
inline constexpr int ZNQV_OK = 0, ZNQV_NOSETUP = 1, ZNQV_BADVAR = 2, ZNQV_NOVALUE = 3,
                     ZNQV_NOTRANSCODE = 4;

// Formats the current input value of variable varno into fmt->c and
// fmt->toprintl (right-justified to varlen for a numeric variable whose
// format writes kernel characters).
int QXFormatToNQV(ZNQVFMT* fmt, int varno);

// Waits on kernel events through the thread's wait operation; a null thread
// (or the kernel handle itself) means the calling thread, else the kernel's
// default thread. QX_E_NOTHREAD when there is none.
int qxWait(QXThreadh thrd, size_t count, const QXEventh* events, size_t* pcnt, QXBoolean all,
           uint32_t time);

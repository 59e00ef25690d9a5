// Readers of the parallelism settings: the THREADS and CPUCOUNT system
// options, the "_testthread" macro switches, the grid settings held in
// kernel option values, and the PERFORMANCE statement. None starts a thread.
#pragma once

#include "vyr_kernel.h"

#include <cstdint>

struct STMT;

struct STDPERFORM {
    STMT* stmt; // the (last) PERFORMANCE statement, or null
    int cpuCount;
    int cpuCountActual;
    char threadsFlag;
    char detailsFlag;
    char allDetailsFlag;
    char timingFlag;
    char statusFlag;
    char forceFlag;
};

// Grid settings in kernel characters (texts with their lengths in
// characters; each text is followed by a 0 character).
struct _qxGridInfo {
    uint32_t structSize; // 192
    uint32_t srvPortNum;
    QXChar* srvHost;
    QXStrSize srvHostLen;
    QXChar* connectCmd;
    QXStrSize connectCmdLen;
    QXChar* installPath;
    QXStrSize installPathLen;
    QXChar* appServerName;
    QXStrSize appServerNameLen;
    QXChar* resources;
    QXStrSize resourcesLen;
    QXChar* jobName;
    QXStrSize jobNameLen;
    QXChar* jobOptions;
    QXStrSize jobOptionsLen;
    QXChar* ARMcorr;
    QXStrSize ARMcorrLen;
    QXChar* usrName;
    QXStrSize usrNameLen;
    QXChar* password;
    QXStrSize passwordLen;
    uint32_t timeout;
    uint32_t numProcesses;
    uint32_t maxProcessesPerHost;
    uint32_t maxThreadsPerProcess;
    uint8_t reserved[8];
};
static_assert(sizeof(_qxGridInfo) == 192, "grid information record is 192 bytes");

// THREADS (non-zero sets *threadsFlag) and CPUCOUNT; a failed read ends the
// step with 1012.
void zquerythreads(char* threadsFlag, int* cpuCount);
// -1 when neither "_testthread" nor "_testthread<procName>" is set, else the
// larger of their 0/1 values.
int ztestthread(const char* procName, int procNameLen);
// Fills `info` from the kernel option values; texts come from `pool`.
int zgridinf(void* reb, QXPoolh pool, _qxGridInfo* info);
// Reads the PERFORMANCE statement(s) of the statement list and the options.
void zperform(STMT* stmt, STDPERFORM* std);
// A grid setting's text as an unsigned number: decimal digits, or
// hexadecimal after a leading "0X". Anything else (a letter in a decimal
// number, an overflow) gives 0. The text is upper-cased in place.
uint32_t str2Uint(QXChar* text, QXStrSize len);

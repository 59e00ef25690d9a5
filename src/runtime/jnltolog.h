// Copies a kernel journal into the host's log (or print file) through an
// output device of its own.
#pragma once

#include "vyr_kernel.h"

// Flags: 1 raw (the text may begin with a level prefix "%1z"/"%2z"/"%3z";
// a line ending in eight bytes of value 5 starts a new page), 4 print file
// instead of log, 8 severity prefixes from the journal's severities.
inline constexpr int JNL_RAW = 1, JNL_PRINT = 4, JNL_SEVERITY = 8;
inline constexpr int JNL_E_ATTACH = static_cast<int>(0x80000805u);

struct jnltolog_S {
    QX_IO_S device;
    void* reb;
    QXNLSPipelineh fromQXChar;
    int flags;
};

// Returns 0, or JNL_E_ATTACH when the device cannot be attached.
int jnltolog(void* reb, QXJnlh jnl, int flags);
QXStatus jnltolog_writeline(QX_IO_S* device, const QXChar* line, QXStrSize lineL, int sev);
QXStatus jnltolog_write(QX_IO_S* device, const void* bytes, QXMemSize length);
QXStatus jnltolog_destroy(void* device);
QXStatus jnltolog_flush(QX_IO_S* device);

// Pieces of the stand-in kernel shared between its source files.
#pragma once

#include "vyr_kernel.h"
#include "vyr_text.h"

#include <string>

namespace vyr::kernel
{

// Code points of a QXChar name as ASCII (false when a character is not ASCII).
bool ascii_name(const QXChar* name, QXStrSize nameL, std::string& out);

// Extensions built into the kernel.
void* load_udb(QXHandle* h);
void* load_eavl(QXHandle* h);
void* load_eaa(QXHandle* h);
void* load_efmt(QXHandle* h);

// The national-language object and the thread services of the handle.
QXNLSh nls_object();
QXEventh event_create(QXHandle* h, QXBoolean posted, void* foreign);
QXThreadh thread_create(QXHandle* h, QXThreadMain main, const char* loadName, void* param,
                        QXEventh entryEvent, QXEventh exitEvent, uint32_t flags, QXMemSize stack);
QXThreadh thread_get_handle(QXHandle* h);
QXThreadh boot_thread();

// UTF-8 decoding of one character at s (n bytes available): the code point
// and the bytes used; malformed input gives U+FFFD and 1 byte with *bad set.
QXChar utf8_decode(const unsigned char* s, size_t n, size_t* used, bool* bad);

} // namespace vyr::kernel

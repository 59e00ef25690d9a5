// UTF-8 of kernel strings: the exact number of UTF-8 bytes the characters
// need (invalid code points count as U+FFFD), and the conversion into a
// buffer of at least that size (returns the bytes written; invalid code
// points become U+FFFD, so nothing is dropped).
#pragma once

#include "vyr_kernel.h"

QXMemSize sk_utf8_length(const QXChar* s, QXStrSize n);
QXMemSize sk_to_utf8(const QXChar* s, QXStrSize n, char* out, QXMemSize cap);

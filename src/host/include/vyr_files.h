// Utility files (temporary sequential files of records) and the paged record
// store, as the procedure uses them. Implemented in src/host/files.
#pragma once

#include <cstdint>

// A utility file handle. The request names nothing the procedure relies on
// beyond its being a fresh temporary file.
struct XCFILE;
struct XCREQUEST {
    int recordLength = 0; // advisory
    const char* name = nullptr;
};

// Utility files and record stores opened during a step belong to the step:
// the host closes them when the step ends (the procedure need not).

// Opens a utility file into *file; below 0 is failure.
int xcopen(XCFILE** file, XCREQUEST* request);
// Position: 0 back to the beginning (to reread or overwrite); -2 afresh for
// writing, content dropped; a positive byte offset up to the end of what was
// written (content kept). Other positions are refused.
int xcpoint(XCFILE* file, long position);
// Writes length bytes at the current position.
int xcwrite(XCFILE* file, const void* buffer, long length);
// Reads length bytes from the current position. A read past the end of what
// was written returns a negative code and reads nothing.
int xcread(XCFILE* file, void* buffer, long length);
// Notes the current position (where the next write goes) as a double. A
// noted position is never 0, so callers may keep 0 for "nothing noted".
int xcnoted(XCFILE* file, double* position);
// Returns to a noted position.
int xcpntd(XCFILE* file, double position);
// Appends `count` blocks of `bytes` bytes each (at most 1 MiB) at the end
// of the file's content, for the caller to fill in place, on any thread:
// noted[k] receives block k's noted position and address[k] where its bytes
// lie in memory. Blocks follow each other in the file, a block never spans
// two pieces of memory (the small gaps this leaves are zeroed), and the
// blocks' own bytes are unspecified until written. The addresses stay valid
// until the file is closed or written afresh (xcpoint -2). The position
// moves to the new end. Refused with a negative code, nothing changed, when
// the content is on disk or the blocks would take it past the memory it may
// keep; the caller then writes with xcwrite.
int xcblocks(XCFILE* file, long count, long bytes, double* noted, char** address);
// Sends writes still gathered in memory to the file, so that xcreadat sees
// them; the content itself stays where it is.
int xcflush(XCFILE* file);
// Reads length bytes at a noted position without moving the file's position.
// Several threads may call it at once, also beside a thread reading with
// xcread, as long as nobody writes to the file and writes were flushed
// (xcflush); a read over writes not yet flushed is refused (negative code).
int xcreadat(const XCFILE* file, double position, void* buffer, long length);
// Closes and deletes a utility file.
int xcclose(XCFILE* file);
// Files past this many bytes of content spill to a temporary file on disk
// (default 64 MiB).
void xcsetspill(long bytes);
// 1 when the file's content has moved to disk, else 0.
int xcondisk(const XCFILE* file);

// Paged record store.
struct XCBSTORE;
// Sizes: *minimal and *standard page sizes, *a the first page number (1),
// *b the largest page size, *n the page limit (0: none).
int xcbinfo(long* a, long* b, long* minimal, long* standard, long* n);
// Opens a store; the page size is rounded up to a multiple of 16 and given back.
int xcbopen(long* pageSize, int mode, XCBSTORE** store);
// Takes page `page` (from 1): mode 16 a page being filled (the next new page
// comes zeroed; an existing page keeps its contents), 0 an existing page.
// Each take is matched by one xcbwrtp or xcbmlok.
int xcbgetp(XCBSTORE* store, long page, int mode, char** pointer);
// Writes a changed page back / releases a page that was only read.
int xcbwrtp(XCBSTORE* store, long page);
int xcbmlok(XCBSTORE* store, long page);
int xcbclose(XCBSTORE* store);
// Pages the store holds (-1 for an invalid handle).
long xcbpages(const XCBSTORE* store);
// Utility files and record stores open now.
int xcopenfiles();

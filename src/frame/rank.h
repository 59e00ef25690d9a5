// Ranking of a stratum's records by time. The rank index lists, position by
// position in time order, the 1-based record number; an entry is negated when
// its record has the same time and the same status (both events or both
// censored) as the record at the next position. At equal times events come
// before censored records (censored records carry negated frequencies).
#pragma once

#include <cstdint>

struct KORVCOM;

// Order of records p and q: -1 when p goes first, 1 when q goes first; never 0.
int compare(const double* key1, const double* key2, int64_t p, int64_t q);

// The comparison a list merge sort calls: -1, 0 (equal: the later record is
// dropped) or 1; any other value stops the sort.
using zmrgcmp = int (*)(const double* key1, const double* key2, int64_t p, int64_t q);

// Natural list merge sort of record numbers 0..n-1: on return link[r] is the
// record after r in sorted order (-1 after the last) and *first the first
// record. Returns the number of records kept, or -1 when the comparison gave
// a value other than -1, 0 or 1. The sort is stable.
int64_t zmrgsrt(zmrgcmp cmp, const double* key1, const double* key2, int64_t* link, int64_t n,
                int64_t* first);

// Fills antirank[0..count-1] for the records with times `data` and signed
// frequencies `freq` (the order of korv_rank_order in common/rankorder.h, the
// same as the list merge sort's with `compare`); `link`, `count` entries, is
// not needed any more and left untouched.
void korv_rank_with_links(const double* data, const double* freq, int64_t* antirank, int64_t count,
                          int64_t* link);

// The same for the procedure's stratum arrays. count must be at least 1.
void korvrnk(KORVCOM* q, const double* data, const double* freq, int64_t* antirank, int64_t count);

// The rank index of records that are already in time order (events before
// censored records at equal times): one pass, no sort, no allocation.
void korv_sorted_index(const double* times, const double* freqs, int64_t* indxs, int64_t nobs);

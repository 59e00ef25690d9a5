// Ranking of a stratum's records: the record comparison, the natural list
// merge sort over an array of links, and the rank index.
#include "common/rankorder.h"
#include "frame/rank.h"

#include <cstddef>
#include <vector>

int compare(const double* key1, const double* key2, int64_t p, int64_t q)
{
    if (key1[p] < key1[q])
        return -1;
    if (key1[p] > key1[q])
        return 1;
    // Equal times: events (positive frequencies) first, the larger first;
    // censored records (negative) after them, the smaller magnitude first.
    // Equal pairs keep their input order.
    return key2[p] >= key2[q] ? -1 : 1;
}

namespace
{

// Merges the sorted lists starting at a (the earlier run) and b. Returns the
// head of the merged list, or -2 on an invalid comparison result. Records of
// the second list that compare equal to the first list's record are dropped.
int64_t merge_lists(zmrgcmp cmp, const double* key1, const double* key2, int64_t* link, int64_t a,
                    int64_t b, int64_t& dropped)
{
    int64_t head = -1, tail = -1;
    auto append = [&](int64_t r) {
        if (tail < 0)
            head = r;
        else
            link[tail] = r;
        tail = r;
    };
    while (a >= 0 && b >= 0) {
        int c = cmp(key1, key2, a, b);
        if (c == -1) {
            int64_t next = link[a];
            append(a);
            a = next;
        } else if (c == 1) {
            int64_t next = link[b];
            append(b);
            b = next;
        } else if (c == 0) {
            b = link[b];
            ++dropped;
        } else {
            return -2;
        }
    }
    int64_t rest = a >= 0 ? a : b;
    if (tail < 0)
        head = rest;
    else
        link[tail] = rest;
    return head;
}

} // namespace

int64_t zmrgsrt(zmrgcmp cmp, const double* key1, const double* key2, int64_t* link, int64_t n,
                int64_t* first)
{
    if (n <= 0) {
        *first = -1;
        return 0;
    }
    if (n == 1) {
        link[0] = -1;
        *first = 0;
        return 1;
    }
    // Runs: the input's ordered stretches, each a list ending in -1.
    std::vector<int64_t> runs;
    int64_t kept = n;
    int64_t runLast = 0;
    runs.push_back(0);
    link[0] = -1;
    for (int64_t i = 1; i < n; ++i) {
        int c = cmp(key1, key2, runLast, i);
        if (c == -1) {
            link[runLast] = i;
            link[i] = -1;
            runLast = i;
        } else if (c == 0) {
            --kept; // equal key: the later record is dropped
        } else if (c == 1) {
            runs.push_back(i);
            link[i] = -1;
            runLast = i;
        } else {
            return -1;
        }
    }
    // Merge passes, pairing neighbouring runs so earlier records stay first.
    while (runs.size() > 1) {
        std::size_t out = 0;
        for (std::size_t k = 0; k < runs.size(); k += 2) {
            if (k + 1 == runs.size()) {
                runs[out++] = runs[k];
                break;
            }
            int64_t dropped = 0;
            int64_t head = merge_lists(cmp, key1, key2, link, runs[k], runs[k + 1], dropped);
            if (head == -2)
                return -1;
            kept -= dropped;
            runs[out++] = head;
        }
        runs.resize(out);
    }
    *first = runs[0];
    return kept;
}

void korv_rank_with_links(const double* data, const double* freq, int64_t* antirank, int64_t count,
                          int64_t* /*link*/)
{
    // The order is the natural merge sort's (a stable sort by time, then the
    // larger frequency), found by counting when the times repeat.
    korv_rank_order(data, freq, antirank, count);
}

void korv_sorted_index(const double* times, const double* freqs, int64_t* indxs, int64_t nobs)
{
    if (nobs < 1)
        return;
    for (int64_t k = 0; k < nobs - 1; ++k) {
        bool same = (freqs[k] > 0 && freqs[k + 1] > 0) || (freqs[k] < 0 && freqs[k + 1] < 0);
        indxs[k] = (times[k + 1] <= times[k] && same) ? -(k + 1) : k + 1;
    }
    indxs[nobs - 1] = nobs;
}

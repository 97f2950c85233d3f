// Per-context work area of the comparison, made on first use and kept with the context.
#include "engines/minutiae/match_data.h"

#include <new>

namespace mnt {

// Holds the test, second and sample records, line buckets and histograms once the
// comparison is built; for now the context only owns and releases it.
struct MatchDataBlock {};

MatchDataBlock* CreateMatchData() { return new (std::nothrow) MatchDataBlock(); }

void FreeMatchData(MatchDataBlock* block) { delete block; }

}  // namespace mnt

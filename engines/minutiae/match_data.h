// Per-context work area of the comparison, made on first use and kept with the context.
#pragma once

namespace mnt {

struct MatchDataBlock;

MatchDataBlock* CreateMatchData();
void FreeMatchData(MatchDataBlock* block);  // null is ignored

}  // namespace mnt

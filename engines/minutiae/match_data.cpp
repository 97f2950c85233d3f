// Per-context work area of the comparison, made on first use and kept with the context.
#include "engines/minutiae/match_data.h"

#include <new>

namespace mnt {

MatchDataBlock* CreateMatchData() {
    // Value-initialised: every array and count starts at zero.
    auto* block = new (std::nothrow) MatchDataBlock();
    if (block == nullptr) return nullptr;
    const bool made = block->triples.Init(2500) && block->tripleOrder.Init(2500) && block->lengthCounts.Init(400) &&
                      block->pairs.Init(1500) && block->pairIndices.Init(800) && block->groupMembers.Init(255) &&
                      block->groupIndex.Init(4096) && block->heapNow.Init(1024) && block->heapNext.Init(1024) &&
                      block->voteWeights.Init(16 * 16 * 16);
    if (!made) {
        FreeMatchData(block);
        return nullptr;
    }
    return block;
}

void FreeMatchData(MatchDataBlock* block) {
    if (block == nullptr) return;
    block->triples.Release();
    block->tripleOrder.Release();
    block->lengthCounts.Release();
    block->pairs.Release();
    block->pairIndices.Release();
    block->groupMembers.Release();
    block->groupIndex.Release();
    block->heapNow.Release();
    block->heapNext.Release();
    block->voteWeights.Release();
    delete block;
}

}  // namespace mnt

// Marks the engine's hottest image loops to be built twice, for AVX2 and for the baseline, the
// copy picked when the library is loaded. Results are identical: integer arithmetic and exact
// quotients only, and no fused multiply-add.
#pragma once

#ifndef MNT_HOT_LOOP
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(MNT_NO_TARGET_CLONES)
#define MNT_HOT_LOOP [[gnu::target_clones("avx2", "default"), gnu::flatten]]
#else
#define MNT_HOT_LOOP
#endif
#endif

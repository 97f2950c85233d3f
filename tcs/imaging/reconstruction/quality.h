// Image quality verdict of a reconstructed swipe, and row interpolation.
#pragma once

#include "tcs/result.h"

#include <stdint.h>

struct IrReconState;

// Sets the state's quality flag word and raises event 8 with it when it is non-zero. Returns 0.
TcsResult IRqualityDetermination(IrReconState* state);

// Row k of n between rows a and b (b null: a copy of a); packed rows hold two 4-bit pixels a byte.
void IRinterpolateLine(uint8_t* out, const uint8_t* a, const uint8_t* b, uint32_t k, uint32_t n, uint32_t width,
                       uint32_t packed);

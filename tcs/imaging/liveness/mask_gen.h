// Liveness mask stage: a variance-based foreground mask, a ridge image from block-tuned Gabor
// filtering and its one-pixel-wide thinning, from one 8-bit grey fingerprint image.
#pragma once

#include <stdint.h>

namespace liveness {

// Every stage works on planes padded by this many zero pixels on each side, and only inside them.
constexpr int kBorder = 30;
constexpr uint8_t kOn = 255;

// Fills the caller's zeroed mask, ridge and thinned planes (rows x columns each, 255 on). 0; -1
// when no foreground is found. Throws std::bad_alloc when memory runs out.
int mask_gen(const uint8_t* image, uint8_t* mask, uint8_t* ridge, uint8_t* thinned, int rows, int columns);

// The stages, on padded planes of R x C (R = rows + 2 x border, C likewise), row after row.
void pad_zeros(const uint8_t* image, uint8_t* padded, int rows, int columns, int border);
void depad_zeros(const uint8_t* padded, uint8_t* image, int rows, int columns, int border);
// False when the variance walk leaves no foreground.
bool normalize(const uint8_t* padded, uint8_t* normalised, uint8_t* mask, int R, int C, int border);
// Ridge orientation in radians per mask-on pixel; see the .cpp for the angle's sense.
void orientation(const uint8_t* normalised, const uint8_t* mask, double* theta, int R, int C, int border);
// Ridge frequency in cycles per pixel per mask-on pixel (0 where no block gave one).
void frequency(const uint8_t* normalised, const double* theta, double* freq, const uint8_t* mask, int R, int C,
               int border);
void gabor(const uint8_t* normalised, const double* theta, const double* freq, const uint8_t* mask, uint8_t* ridge,
           int R, int C, int border);
void thinning(const uint8_t* ridge, uint8_t* thinned, int R, int C, int border);

// Variance of the non-zero values of the 17 x 17 box of a padded plane centred on (r, c); 100 when
// the box holds none.
double var(const uint8_t* plane, int C, int r, int c);
// The period of a 36-entry mean-free ridge signature, or a negative value when it has none.
double find_peaks(const double* signature);

// Not used by mask_gen: turns off every interior pixel outside the 200 x 200 window around the
// mask's centre. False (mask unchanged) when the mask has no on pixel.
bool mask_shrink(uint8_t* mask, int R, int C, int border);

}  // namespace liveness

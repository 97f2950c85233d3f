// Block FFT ridge enhancement.
#include "engines/recognition/extraction.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {
void fftEnhanceCoefficient(int, int, int32_t&, int32_t&) {}
void fft_enhance(uint8_t*, int, int, uint8_t*) {}
}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded

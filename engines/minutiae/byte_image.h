// Byte images of the engine: an array of row pointers, each row `width` bytes.
#pragma once

#include <cstdint>

namespace mnt {

using ByteImage = uint8_t**;

// Both allocate a zeroed array of zeroed rows; null when memory runs out.
ByteImage CreateByteImage(int width, int height);
ByteImage AllocByteImage(int width, int height);
void FreeImage(ByteImage image, int height);
void CopyByteImage(int width, int height, const ByteImage source, ByteImage target);

}  // namespace mnt

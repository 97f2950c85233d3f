// Byte images of the engine: an array of row pointers, each row `width` bytes.
#include "engines/minutiae/byte_image.h"

#include <cstdlib>
#include <cstring>

namespace mnt {

ByteImage CreateByteImage(int width, int height) {
    if (width < 0 || height < 0) return nullptr;
    auto image = static_cast<ByteImage>(std::calloc(size_t(height) + 1, sizeof(uint8_t*)));
    if (image == nullptr) return nullptr;
    for (int y = 0; y < height; ++y) {
        image[y] = static_cast<uint8_t*>(std::calloc(size_t(width) + 1, 1));
        if (image[y] == nullptr) {
            FreeImage(image, y);
            return nullptr;
        }
    }
    return image;
}

ByteImage AllocByteImage(int width, int height) { return CreateByteImage(width, height); }

void FreeImage(ByteImage image, int height) {
    if (image == nullptr) return;
    for (int y = 0; y < height; ++y) std::free(image[y]);
    std::free(image);
}

void CopyByteImage(int width, int height, const ByteImage source, ByteImage target) {
    for (int y = 0; y < height; ++y) std::memcpy(target[y], source[y], size_t(width));
}

}  // namespace mnt

// Byte streams: plain reader and writer, TEA encipherment and the cipher-feedback reader.
#include "engines/recognition/streams.h"

#include "engines/recognition/recog.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {
namespace {

constexpr uint32_t kTeaDelta = 0x9E3779B9;
constexpr uint32_t kTeaSumEnd = 0xC6EF3720;  // 32 * delta

uint32_t shiftRightArithmetic5(uint32_t word) { return uint32_t(int32_t(word) >> 5); }

// Keystream byte of a word at a bit position; a big-endian stream takes the high byte first.
uint8_t keystreamByte(uint32_t word, uint8_t position, bool bigEndian) {
    const unsigned shift = bigEndian ? 24 - (position & 24) : (position & 24);
    return uint8_t(word >> shift);
}

}  // namespace

void Reader::recordEnd() {
    if (status_ >= 0) status_ = RECOG_E_BUFFER_TOO_SMALL;
}

int Reader::getch() {
    if (eof()) {
        recordEnd();
        return -1;
    }
    return *current_++;
}

Reader& Reader::operator>>(uint16_t& value) {
    const int a = getch();
    const int b = getch();
    const int high = bigEndian_ ? a : b;
    const int low = bigEndian_ ? b : a;
    value = uint16_t((high << 8) | (low & 0xFF));
    return *this;
}

Reader& Reader::operator>>(uint32_t& value) {
    uint16_t a = 0, b = 0;
    *this >> a >> b;
    value = bigEndian_ ? (uint32_t(a) << 16 | b) : (uint32_t(b) << 16 | a);
    return *this;
}

int64_t Writer::putch(int ch) {
    if (buffer_ != nullptr) {
        if (eof()) {
            buffer_ = nullptr;
        } else {
            buffer_[position_] = uint8_t(ch);
        }
    }
    ++position_;
    return status_;
}

Writer& Writer::operator<<(uint16_t value) {
    if (bigEndian_ == reversed_) {
        putch(value & 0xFF);
        putch(value >> 8);
    } else {
        putch(value >> 8);
        putch(value & 0xFF);
    }
    return *this;
}

Writer& Writer::operator<<(uint32_t value) {
    if (bigEndian_ == reversed_) {
        *this << uint16_t(value) << uint16_t(value >> 16);
    } else {
        *this << uint16_t(value >> 16) << uint16_t(value);
    }
    return *this;
}

void teaEncipher(uint32_t& first, uint32_t& second, const uint32_t key[4]) {
    uint32_t sum = 0;
    do {
        sum += kTeaDelta;
        first += ((second << 4) + key[0]) ^ (second + sum) ^ (shiftRightArithmetic5(second) + key[1]);
        second += ((first << 4) + key[2]) ^ (first + sum) ^ (shiftRightArithmetic5(first) + key[3]);
    } while (sum != kTeaSumEnd);
}

TeaReader::TeaReader(const uint8_t* data, size_t size, bool bigEndian, const uint32_t initialBlock[2],
                     const uint32_t key[4])
    : Reader(data, size, bigEndian),
      first_(initialBlock[0]),
      second_(initialBlock[1]),
      key_{key[0], key[1], key[2], key[3]},
      inner_(data, size, bigEndian) {}

int TeaReader::getch() {
    if (bitPosition_ == 0) teaEncipher(first_, second_, key_);
    const uint32_t word = (bitPosition_ & 32) ? second_ : first_;
    if (eof()) {
        recordEnd();
        return -1;
    }
    const uint8_t cipher = *current_++;
    const int plain = (cipher ^ keystreamByte(word, bitPosition_, bigEndian_)) & 0xFF;
    bitPosition_ = (bitPosition_ + 8) & 63;
    if (bitPosition_ == 0) inner_ >> first_ >> second_;  // feedback: the eight bytes just consumed
    return plain;
}

void teaCfbEncipher(uint8_t* data, size_t size, bool bigEndian, const uint32_t initialBlock[2],
                    const uint32_t key[4]) {
    uint32_t block[2] = {initialBlock[0], initialBlock[1]};
    for (size_t i = 0; i < size; ++i) {
        const uint8_t position = uint8_t((i * 8) & 63);
        if (position == 0) teaEncipher(block[0], block[1], key);
        uint32_t& word = (position & 32) ? block[1] : block[0];
        data[i] ^= keystreamByte(word, position, bigEndian);
        // The ciphertext byte takes the keystream byte's place, so the next block enciphered is
        // the eight ciphertext bytes just written, read in the stream's byte order.
        const unsigned shift = bigEndian ? 24 - (position & 24) : (position & 24);
        word = (word & ~(uint32_t(0xFF) << shift)) | (uint32_t(data[i]) << shift);
    }
}

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded

// Byte streams of the record formats: Reader, Writer and the TEA cipher-feedback TeaReader.
//
// They never allocate and never fail by themselves: a reader past its end returns -1 and records
// 0x800700EA; a writer past its capacity stops storing but keeps counting, so one pass both
// writes and measures.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace DurodudUrodera::FpRecEngineImpl::Embedded {

class Reader {
public:
    Reader(const uint8_t* data, size_t size, bool bigEndian)
        : begin_(data), end_(data + size), current_(data), bigEndian_(bigEndian) {}
    virtual ~Reader() = default;

    // A byte 0..255, or -1 at the end.
    virtual int getch();
    virtual bool eof() const { return current_ >= end_; }

    Reader& operator>>(uint16_t& value);
    Reader& operator>>(uint32_t& value);

    int64_t status() const { return status_; }
    void setStatus(int64_t status) { status_ = status; }
    bool bigEndian() const { return bigEndian_; }
    void setBigEndian(bool bigEndian) { bigEndian_ = bigEndian; }
    const uint8_t* begin() const { return begin_; }
    const uint8_t* end() const { return end_; }
    const uint8_t* current() const { return current_; }
    void seek(const uint8_t* position) { current_ = position; }

protected:
    void recordEnd();

    const uint8_t* begin_;
    const uint8_t* end_;
    const uint8_t* current_;
    bool bigEndian_;
    int64_t status_ = 0;
};

class Writer {
public:
    // A null buffer only counts.
    Writer(uint8_t* buffer, size_t capacity, bool bigEndian)
        : buffer_(buffer), capacity_(capacity), bigEndian_(bigEndian) {}
    virtual ~Writer() = default;

    virtual int64_t putch(int ch);
    virtual bool eof() const { return buffer_ != nullptr && position_ >= capacity_; }

    // Low byte first when the byte-order and reversed flags agree, high byte first when they differ.
    Writer& operator<<(uint16_t value);
    // Two halves by the same rule.
    Writer& operator<<(uint32_t value);

    int64_t status() const { return status_; }
    void setStatus(int64_t status) { status_ = status; }
    uint8_t* buffer() const { return buffer_; }
    size_t capacity() const { return capacity_; }
    size_t position() const { return position_; }
    bool bigEndian() const { return bigEndian_; }
    bool reversed() const { return reversed_; }
    // Set while writing a stretch that is later reversed byte by byte.
    void setReversed(bool reversed) { reversed_ = reversed; }

private:
    int64_t status_ = 0;
    uint8_t* buffer_;
    size_t capacity_;
    size_t position_ = 0;
    bool bigEndian_;
    bool reversed_ = false;
};

// TEA encipherment of one 64-bit block in place. The right shifts are arithmetic (sign bits
// copied in), unlike textbook TEA: records already written depend on it.
void teaEncipher(uint32_t& first, uint32_t& second, const uint32_t key[4]);

// A Reader that deciphers TEA in 64-bit cipher-feedback mode.
class TeaReader : public Reader {
public:
    TeaReader(const uint8_t* data, size_t size, bool bigEndian, const uint32_t initialBlock[2],
              const uint32_t key[4]);

    int getch() override;

private:
    uint32_t first_;
    uint32_t second_;
    uint32_t key_[4];
    uint8_t bitPosition_ = 0;  // 0, 8, ..., 56
    Reader inner_;             // reads the same ciphertext to refill the feedback block
};

// The writer's side of TeaReader: enciphers `size` bytes in place with the same keystream rules.
void teaCfbEncipher(uint8_t* data, size_t size, bool bigEndian, const uint32_t initialBlock[2],
                    const uint32_t key[4]);

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded

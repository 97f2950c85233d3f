// ANSI INCITS 378 and ISO/IEC 19794-2 finger minutiae records: one writer and one reader with
// hooks for the few fields where the two standards differ.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engines/recognition/objects.h"
#include "engines/recognition/recog_records.h"
#include "engines/recognition/streams.h"

namespace DurodudUrodera::FpRecEngineImpl::Embedded {

// Most significant byte first, into a buffer known to be large enough.
struct ByteOut {
    uint8_t* p;
    void u8(unsigned v) { *p++ = uint8_t(v); }
    void u16(unsigned v) {
        u8(v >> 8);
        u8(v);
    }
    void u32(uint32_t v) {
        u16(v >> 16);
        u16(v & 0xFFFF);
    }
};

class StdFmdSerializer {
public:
    explicit StdFmdSerializer(size_t headerSize) : headerSize_(headerSize) {}
    virtual ~StdFmdSerializer() = default;

    // `size` is the capacity on entry and the record's total length on return; a null `out`
    // only measures. With `own`, the engine's own records follow as extended data.
    RecogResult SerializeFeatureSet(uint8_t* out, size_t& size, const MatchData& view, const void* options, bool own,
                                    uint32_t ftrCode);
    RecogResult SerializeTemplate(uint8_t* out, size_t& size, const FpTemplate& views, const void* options, bool own);

protected:
    virtual void WriteTotalLength(ByteOut& out, size_t length) const = 0;
    virtual void WriteDeviceInfo(ByteOut& out, const MatchData& view) const = 0;
    virtual void WriteImageSize(uint8_t* record, uint16_t width, uint16_t height) const = 0;
    virtual uint8_t WriteTheta(uint8_t angle) const = 0;

    uint32_t productId_ = 0x00330000;

private:
    RecogResult applyOptions(const void* options);
    RecogResult serialize(uint8_t* out, size_t& size, const MatchData& first, const FpTemplate* views, bool own,
                          uint16_t ftrCode);

    size_t headerSize_;
    uint16_t fingerPosition_ = 0;
    uint16_t viewNumber_ = 0;
    uint16_t xResolution_ = 197;
    uint16_t yResolution_ = 197;
    uint16_t width_ = 0xFFFF;
    uint16_t height_ = 0xFFFF;
    uint8_t rotation_ = 0;
};

class AnsiFmdSerializer final : public StdFmdSerializer {
public:
    AnsiFmdSerializer() : StdFmdSerializer(26) {}

protected:
    void WriteTotalLength(ByteOut& out, size_t length) const override;
    void WriteDeviceInfo(ByteOut& out, const MatchData& view) const override;
    void WriteImageSize(uint8_t* record, uint16_t width, uint16_t height) const override;
    uint8_t WriteTheta(uint8_t angle) const override;
};

class IsoFmdSerializer final : public StdFmdSerializer {
public:
    IsoFmdSerializer() : StdFmdSerializer(24) {}

protected:
    void WriteTotalLength(ByteOut& out, size_t length) const override;
    void WriteDeviceInfo(ByteOut& out, const MatchData& view) const override;
    void WriteImageSize(uint8_t* record, uint16_t width, uint16_t height) const override;
    uint8_t WriteTheta(uint8_t angle) const override;
};

class StdFmdDeserializer {
public:
    // `own`: the view comes from the engine's own records in the extended data.
    // `templateViews`: own records are template views, read as many as follow one another.
    StdFmdDeserializer(const uint8_t* data, size_t size, bool own, bool templateViews, uint32_t purpose)
        : data_(data), size_(size), own_(own), templateViews_(templateViews), purpose_(purpose) {}
    virtual ~StdFmdDeserializer() = default;

    // Reads the record into one view of `views` (none when the record has no view).
    RecogResult DeserializeTemplate(FpTemplate& views, const void* options);

protected:
    virtual bool ReadTotalLength(Reader& in) = 0;
    virtual void ReadDeviceInfo(Reader& in) = 0;
    virtual uint8_t ReadTheta(int value) const = 0;

    size_t totalLength_ = 0;
    uint32_t productId_ = 0;
    uint8_t capture_[2] = {};

private:
    RecogResult applyOptions(const void* options);
    RecogResult ReadRecordHeaders(Reader& in);
    RecogResult ReadViewData(Reader& in, FpTemplate& views);

    const uint8_t* data_;
    size_t size_;
    bool own_;
    bool templateViews_;
    uint32_t purpose_;
    uint32_t productOverride_ = 0;
    uint16_t fingerSelector_ = 0xFFFF;
    uint16_t viewSelector_ = 0xFFFF;
    uint8_t rotation_ = 0;
    uint16_t width_ = 0, height_ = 0, xResolution_ = 0, yResolution_ = 0;
    uint8_t views_ = 0;
};

class AnsiFmdDeserializer final : public StdFmdDeserializer {
public:
    using StdFmdDeserializer::StdFmdDeserializer;

protected:
    bool ReadTotalLength(Reader& in) override;
    void ReadDeviceInfo(Reader& in) override;
    uint8_t ReadTheta(int value) const override;
};

class IsoFmdDeserializer final : public StdFmdDeserializer {
public:
    using StdFmdDeserializer::StdFmdDeserializer;

protected:
    bool ReadTotalLength(Reader& in) override;
    void ReadDeviceInfo(Reader& in) override;
    uint8_t ReadTheta(int value) const override;
};

// Swipe sensors give impression type 8, every other device 0 (live-scan plain).
uint8_t GetImpressionType(uint8_t device);

}  // namespace DurodudUrodera::FpRecEngineImpl::Embedded

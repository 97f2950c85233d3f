// Device initialisation's data routines: the flex id from a detection line, the power-up baseline copy.
#include "tcs/sensorctl/init/device_init.h"

#include "platform/memory.h"
#include "tcs/sensorctl/protocol/flex_tables.h"
#include "tcs/sensorctl/protocol/print_defaults.h"

#include <cstring>

namespace {
constexpr uint32_t kLineLengthItem = SCS_PC_LINE_LENGTH;
constexpr uint32_t kFirstPixel = 8;  // the detection line's first 8 bytes are its header
}  // namespace

extern "C" {

TcsResult scsHarlokProcessFlexIdData(ScsFlexIdContext* context, const uint8_t* data, uint32_t length) {
    if (context == nullptr || data == nullptr) return TCS_RESULT_BAD_PARAM;
    if (length <= kFirstPixel) return TCS_RESULT_OK;
    uint32_t smallest = kFirstPixel;
    for (uint32_t i = kFirstPixel + 1; i < length; ++i) {
        if (data[i] < data[smallest]) smallest = i;
    }
    const uint32_t flexId = scsSensorHarlokFindFlexId(smallest - kFirstPixel);
    if (flexId != 0) context->flexId = flexId;
    return TCS_RESULT_OK;
}

TcsResult scsHarlokGetBaselineData(ScsBaselineContext* context, const uint8_t* data) {
    if (context == nullptr || context->record == nullptr || data == nullptr) return TCS_RESULT_BAD_PARAM;
    uint32_t lineLength = 0;
    const TcsResult result =
        scsSensorGetUint32DataFromPrintConfig(context->sensor, SCS_PRINT_CONFIG_DEFAULT, kLineLengthItem, &lineLength);
    if (result != TCS_RESULT_OK) return result;
    const uint64_t size = uint64_t(lineLength) * context->lineCount;
    auto* copy = static_cast<uint8_t*>(palRealMalloc(size == 0 ? 1 : size_t(size)));
    if (copy == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    if (size != 0) std::memcpy(copy, data, size_t(size));
    ScsBaselineRecord* record = context->record;
    palRealFree(record->data);
    record->data = copy;
    record->length = size;
    record->lines = context->lineCount;
    return TCS_RESULT_OK;
}

}  // extern "C"

// Calibration sequence of product families 1 and 2, run one step per visit of work item 63.
#include "tcs/sensorctl/scs_internal.h"

TcsResult scsSensorHarlokCalibrate(ScsSensor* sensor, TcsResult result, WorkItem* item) {
    if (result == SCS_RESULT_DEVICE_SHUTDOWN) return TCS_RESULT_OK;
    if (item == nullptr || sensor == nullptr) return TCS_RESULT_BAD_PARAM;
    *scsWitState(item) = SCS_WIT_STATE_DONE;
    return TCS_RESULT_NOT_IMPLEMENTED;
}

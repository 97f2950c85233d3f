// Extended flows that recognise a finger: enrollment by capture, verification and identification of
// the users of an application storage (by capture, or of an image the caller has), the order in
// which users are searched, and the one-time pre-boot image update after an authentication. They
// run on the caller's thread and wait for the service thread's captures, matches and database work.
#pragma once

#include "tcs/core.h"
#include "tcs/flows/ex_flows.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum : TcsResult {
    TCS_RESULT_NO_SWIPE = 360,           // the sensor could not deliver a swipe, or went away
    TCS_RESULT_SWIPE_ABORTED = 361,      // the capture was aborted
    TCS_RESULT_NOT_IDENTIFIED = 362,     // no user of the storage matched
    TCS_RESULT_NOT_VERIFIED = 363,       // the claimed user did not match
    TCS_RESULT_NO_ENROLLMENT_DATA = 371, // the matched template has no entry of the asked kind
    TCS_RESULT_IMAGE_UNUSABLE = 308,     // the swipe is not good enough to compare
    TCS_RESULT_ONLY_UNUSABLE_SWIPES = 515,
};

// Progress of the capturing flows: callback(result, context, event). Ids: 8 and 16 swipe now, 17 image
// captured, 32 enrollment progress, 13 enrollment finished, 14 verification finished, 15
// identification finished (or an enrolling finger matched a user). The event is valid during the call.
typedef TcsResult (*ExProgressCallback)(uint32_t result, void* context, EventRecord* event);

enum {
    TCS_EX_PROGRESS_SWIPE_NOW = 8,
    TCS_EX_PROGRESS_IMAGE = 17,
    TCS_EX_PROGRESS_ENROLL_SWIPE = 16,
    TCS_EX_PROGRESS_ENROLL = 32,
    TCS_EX_PROGRESS_ENROLLED = 13,
    TCS_EX_PROGRESS_VERIFIED = 14,
    TCS_EX_PROGRESS_IDENTIFIED = 15,
};

// Data of enrollment progress (id 32, status 17).
typedef struct EnrollProgress {
    uint32_t quality;         // quality word of the last captured image
    uint32_t notUsed;         // 17 when the last image was unusable or refused, else 0
    uint32_t swipes;          // swipes captured so far
    uint32_t unusableInARow;  // consecutive unusable images
    uint32_t percent;
} EnrollProgress;

// Flags of tcsExEnrollUserEx.
#define TCS_EX_ENROLL_REFUSE_KNOWN_FINGER 0x1u

// One matched user: the finger, a copy of the user's id and a copy of the selected enrollment entry
// (all zero when the template carries no enrollment data). The copies belong to the list.
typedef struct UserMatch {
    uint32_t finger;
    uint32_t userIdSize;
    uint8_t* userId;
    uint32_t entryKind;
    uint32_t entrySize;
    uint8_t* entryData;
} UserMatch;

// The users an identification matched (one for a verification); free with tcsExUserMatchListFree.
typedef struct UserMatchList {
    uint32_t count;
    UserMatch* matches;
} UserMatchList;

// What a verification reports with its progress 14: the count and the one record.
typedef struct VerifiedUser {
    uint32_t count;
    UserMatch match;
} VerifiedUser;

// Frees the records' copies and the array, and empties the list.
void tcsExUserMatchListFree(UserMatchList* list);

// --- Enrollment by capture --------------------------------------------------------------------------

// Enrolls one finger of a user by swipes: the template is filed as tcsExEnrollTemplate does.
// 40 for a missing storage, id, entry array or callback; 515 only unusable swipes (client parameter
// 21 of them) before a usable one, or kept images the matcher refuses all of once the swipes ran
// out; 88 the finger belongs to an enrolled user; 304 the matcher could
// not make a template; 360 no swipe; 361 an aborted swipe; else the store's result.
TcsResult tcsExEnrollUserEx(TcsHandle sensor, uint32_t matcherId, TcsHandle appStorage, const SizedBuffer* userId,
                            uint32_t entryCount, const EnrollmentDataEntry* entries, uint8_t finger,
                            ExProgressCallback callback, void* context, uint32_t flags);
TcsResult tcsExEnrollUser(TcsHandle sensor, uint32_t matcherId, TcsHandle appStorage, const SizedBuffer* userId,
                          uint32_t entryCount, const EnrollmentDataEntry* entries, uint8_t finger,
                          ExProgressCallback callback, void* context);

// One swipe, surviving a sensor that resets itself during it: the reset sensor is waited for,
// reattached and asked for the swipe again, without a second prompt. 14 unknown sensor, 13 null out
// pointer, 27 no event, 360 the sensor did not come back, 361 the capture was aborted. The name is
// not used.
TcsResult GetFingerprintIncludeESD(SensorRecord* sensor, DssAppStorage* appStorage, TcsHandle* outImage,
                                   const char* name);

// The completion record of a capture that a flow waits for.
typedef struct ExCaptureWait {
    uint32_t status;
    TcsHandle image;
    PalEvent* event;
} ExCaptureWait;
// Completion of that capture: the status, the image handle on 0 (else 0), then the event.
TcsResult tcsEIVGetFingerprintCB(void* image, TcsResult status, void* record);
// System events while a capture recovers (the context is its EsdWatch): 16 for a null argument.
TcsResult ExSystemEventsHandler(void* client, void* watch, EventRecord* event);

// --- Verification and identification ------------------------------------------------------------------

// Capture-driven: progress 8 and 17, then 14 (verification) or 15 (identification) with the result
// and, on success, the match. 40 for a missing storage or callback (and a missing id); 308 unusable
// swipe; 363 / 362 no user matched; 360 no swipe.
TcsResult tcsExVerifyUser(TcsHandle sensor, uint32_t matcherId, TcsHandle appStorage, const SizedBuffer* userId,
                          uint32_t option, ExProgressCallback callback, void* context);
TcsResult tcsExIdentifyUser(TcsHandle sensor, uint32_t matcherId, TcsHandle appStorage, uint32_t option,
                            ExProgressCallback callback, void* context);
// userId null identifies.
TcsResult _tcsExAuthenticateUser(TcsHandle sensor, uint32_t matcherId, TcsHandle appStorage,
                                 const SizedBuffer* userId, uint32_t option, ExProgressCallback callback,
                                 void* context);

// Image-driven: 65 when no user matched. The option picks the enrollment entry kind reported.
TcsResult tcsExVerifyImage(TcsHandle sensor, uint32_t matcherId, TcsHandle appStorage, TcsHandle image,
                           const SizedBuffer* userId, uint32_t option);
TcsResult tcsExIdentifyImage(TcsHandle sensor, uint32_t matcherId, TcsHandle appStorage, TcsHandle image,
                             uint32_t option, UserMatchList* outList);
TcsResult _tcsExAuthenticateByImage(TcsHandle sensor, TcsHandle matcher, TcsHandle appStorage, TcsHandle image,
                                    const SizedBuffer* userId, uint32_t option, UserMatchList* outList);

// The search: the sensor's decrypted templates of the application first, then user by user in the
// iteration policy's order (only the user of the id, when one is given). 0 with the match list, 65
// when nobody matched; 40 for a missing storage, matcher, image, digest or out list; 14 no sensor.
TcsResult FindUserInAppStorage(TcsHandle matcher, TcsHandle sensor, TcsHandle appStorage, const uint8_t* digest16,
                               TcsHandle image, uint32_t checkFlag, uint32_t option, const SizedBuffer* userId,
                               UserMatchList* outList);
// Compares the image with one user's templates (with a hint, only the template whose packed record
// has that MD5). 0 fills the record; 66 no template of the user matched.
TcsResult FindTemplateInUser(TcsHandle matcher, TcsHandle sensor, TcsHandle user, TcsHandle image,
                             const uint8_t* digest16, const uint8_t* hint16, uint32_t checkFlag, uint32_t option,
                             UserMatch* outMatch);
// The first entry of the packed enrollment data whose kind is the option: 371 when there is none or
// the data is empty, 17 for packed data that runs past its end.
TcsResult GetEnrollmentData(const uint8_t* packed, uint32_t length, uint32_t kind, EnrollmentDataEntry* outEntry);

// --- Iteration policy ------------------------------------------------------------------------------------

// Kind 1 orders the search by the stored list of user positions (database order), the most recently
// recognised user first.
typedef struct IterationPolicy {
    uint32_t kind;
    uint32_t count;
    uint32_t* list;
} IterationPolicy;
#define TCS_EX_POLICY_ORDERED 1u

// Opens every user of the storage (database order) and, for kind 1, reorders them by the stored
// policy, left in *policy for the update (free its list with tcsBufferFree). The handles are the
// caller's to close; the array is freed with tcsBufferFree. 40 for a missing storage or out pointer.
TcsResult tcsExGetUserHandleList(IterationPolicy* policy, uint32_t kind, TcsHandle appStorage, uint32_t* outCount,
                                 TcsHandle** outUsers);
// Moves search position `position` to the front, stores the list and frees it.
TcsResult _tcsUserIterationPolicyUpdate(IterationPolicy* policy, uint32_t position);
// The ids of the users that have a template; each data and the array are freed with tcsBufferFree.
TcsResult tcsExGetEnrolledUserList(TcsHandle sensor, TcsHandle appStorage, ExBuffer** outUsers, uint32_t* outCount);

// --- Pre-boot image update --------------------------------------------------------------------------------

// Once per device, after an authentication, the sensor's pre-boot image is checked and rewritten when
// it differs from the host's file (core item 5). 0 when there is nothing to do; 14 no sensor, 27 no event.
TcsResult tcsUpdateEFIImage(TcsHandle sensor);
TcsResult tcsUpdateEFIImageAsync(TcsHandle sensor, CompletionCallback callback, void* context);

#ifdef __cplusplus
}
#endif

// What the extended flows share: handle look-ups with their result codes, database handles closed
// on every path, wiped byte buffers and the packed form of enrollment data.
#pragma once

#include "tcs/database/dss_interface.h"
#include "tcs/flows/ex_flows.h"
#include "tcs/handle_map.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace exflows {

// Bytes that held a secret (a payload, a password, enrollment data) are zeroed before they go.
class SecretBytes {
public:
    SecretBytes() = default;
    SecretBytes(const uint8_t* data, size_t length) : bytes_(data, data + length) {}
    ~SecretBytes() { wipe(); }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept;

    void wipe();
    void assign(const uint8_t* data, size_t length);
    void append(const uint8_t* data, size_t length);
    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    uint32_t size() const { return uint32_t(bytes_.size()); }
    bool empty() const { return bytes_.empty(); }

private:
    std::vector<uint8_t> bytes_;
};

// A buffer another part allocated with palRealMalloc, wiped and freed when it goes out of scope.
struct AllocatedBytes {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    AllocatedBytes() = default;
    ~AllocatedBytes();
    AllocatedBytes(const AllocatedBytes&) = delete;
    AllocatedBytes& operator=(const AllocatedBytes&) = delete;
    // Hands the bytes over to a caller who frees them.
    uint8_t* release();
};

// The enrollment data a template is filed with: the caller's entries packed, or one entry of
// random bytes for a user's first template that comes without any.
class EnrollmentData {
public:
    EnrollmentData() = default;
    ~EnrollmentData();
    EnrollmentData(const EnrollmentData&) = delete;
    EnrollmentData& operator=(const EnrollmentData&) = delete;

    // 17 for an entry with a size but no data, or a packed size beyond 32 bits.
    TcsResult take(const EnrollmentDataEntry* entries, uint32_t count);
    TcsResult makeRandom();
    uint32_t count() const { return count_; }
    const EnrollmentDataEntry* entries() const { return entries_; }
    const SecretBytes& packed() const { return packed_; }

private:
    const EnrollmentDataEntry* entries_ = nullptr;
    uint32_t count_ = 0;
    SecretBytes packed_;
    uint8_t random_[TCS_EX_RANDOM_ENTRY_SIZE] = {};
    EnrollmentDataEntry generated_{};
};

// A database handle closed when it goes out of scope (a zero handle is not closed).
class DbHandle {
public:
    using Close = TcsResult (*)(TcsHandle);
    explicit DbHandle(Close close) : close_(close) {}
    ~DbHandle() { reset(); }
    DbHandle(const DbHandle&) = delete;
    DbHandle& operator=(const DbHandle&) = delete;

    TcsHandle* out() { return &handle_; }
    TcsHandle get() const { return handle_; }
    explicit operator bool() const { return handle_ != 0; }
    // Closes now and reports the close's result (0 for no handle).
    TcsResult reset();
    TcsHandle release();

private:
    Close close_;
    TcsHandle handle_ = 0;
};

// What a store made, undone unless it is kept: the template first, then a user it created.
class StoreUndo {
public:
    StoreUndo(DbHandle& user, DbHandle& templ) : user_(user), templ_(templ) {}
    ~StoreUndo();
    void userCreated() { userCreated_ = true; }
    void keep() { kept_ = true; }

private:
    DbHandle& user_;
    DbHandle& templ_;
    bool userCreated_ = false;
    bool kept_ = false;
};

// An enroll-template handle destroyed when it goes out of scope.
class TemplateHandle {
public:
    TemplateHandle() = default;
    ~TemplateHandle() { reset(); }
    TemplateHandle(const TemplateHandle&) = delete;
    TemplateHandle& operator=(const TemplateHandle&) = delete;
    TemplateHandle(TemplateHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = 0; }

    TcsHandle* out() { return &handle_; }
    TcsHandle get() const { return handle_; }
    void reset();

private:
    TcsHandle handle_ = 0;
};

// The sensor record of a handle: 14 for a zero or unknown handle, 215 while it closes.
TcsResult sensorOf(TcsHandle handle, SensorRecord** out);
// The records behind app storage, user, database-template and enroll-template handles; null for an
// unknown handle.
DssAppStorage* appStorageOf(TcsHandle handle);
DssUser* userOf(TcsHandle handle);
DssTemplate* dbTemplateOf(TcsHandle handle);
EnrollTemplate* enrollTemplateOf(TcsHandle handle);
// The handle of a registered record; 0 when it has none.
TcsHandle handleOf(void* record, HandleType kind);

// A caller's byte string counts as given when it has a non-zero length and data.
inline bool given(const SizedBuffer* buffer) {
    return buffer != nullptr && buffer->length != 0 && buffer->data != nullptr;
}

TcsResult sha256(const uint8_t* data, uint32_t length, uint8_t out[32]);
// Template data 1 of a database template as stored (format byte first); the read's result.
TcsResult readStoredTemplate(TcsHandle dbTemplate, SecretBytes* out);
// The finger of a stored template whose payload is packed (format byte 2): 66 for another format.
TcsResult storedFinger(SensorRecord* sensor, TcsHandle dbTemplate, uint32_t* outFinger);
// 88 when one of the user's templates holds the finger, 66 for a template of unknown format, else 0.
TcsResult checkFingerFree(SensorRecord* sensor, TcsHandle user, uint32_t finger);
// A new user of the storage with user data 1 the id and, with a password, user data 6 its SHA-256;
// the undo deletes it unless kept.
TcsResult createUser(TcsHandle storage, const SizedBuffer* userId, const SizedBuffer* password, DbHandle& user,
                     StoreUndo& undo);
// The user of the id, left open, or a new one (as createUser) when the storage has none; *outNew
// tells which. Other failures of the look-up are returned.
TcsResult findOrCreateUser(DssAppStorage* storage, const SizedBuffer* userId, const SizedBuffer* password,
                           DbHandle& user, StoreUndo& undo, bool* outNew);
// A copy for the caller, freed with tcsBufferFree; null when memory runs out.
uint8_t* callerCopy(const uint8_t* data, uint32_t length);
// The sensor's last identification context (128 bytes) when it names this user (the SHA-256 of the
// id at byte 64); 510 when it names another or cannot be read.
TcsResult lastIdentificationOf(SensorRecord* sensor, const SizedBuffer* userId, uint8_t out[128]);

// Walks the user's templates in database order, each open only during its visit:
// visit(DbHandle& template, bool& stop) → 0 goes on (or ends the walk when stop is set), anything
// else ends the walk with that result. The end of the list gives 0.
template <class Visit>
TcsResult forEachTemplate(TcsHandle user, Visit visit) {
    for (bool first = true;; first = false) {
        DbHandle templ(tcsDatabaseCloseTemplate);
        TcsResult result = first ? tcsDatabaseOpenFirstTemplate(user, templ.out())
                                 : tcsDatabaseOpenNextTemplate(user, templ.out());
        if (result == TCS_RESULT_TEMPLATE_DOESNT_EXIST) return TCS_RESULT_OK;
        if (result != TCS_RESULT_OK) return result;
        bool stop = false;
        result = visit(templ, stop);
        if (result != TCS_RESULT_OK || stop) return result;
    }
}

}  // namespace exflows

// Engine frame: context with its allocator and counters, handle blocks, reference-counted objects.
//
// Every object and handle block is one allocation from the context's callback, preceded by a
// two-word prefix {deallocate callback, user pointer} so that it can be freed without its context.
// A handle is the address of the "Handle" magic inside a handle block and owns one reference to
// its object; every object but the context owns one reference to its context.
//
// A new kind of object derives from TaggedObject with its own kTag, is made by newObject in the
// context of its first input, and is handed out through createWithHandle; the engine's entry
// points resolve handles with Ptr<T>(handle, mutableUse).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <new>
#include <utility>

#include "engines/recognition/fixed_vector.h"
#include "engines/recognition/match_data.h"
#include "engines/recognition/recog.h"

namespace DurodudUrodera::FpRecEngineImpl {

class Context;

// Blocks carry the deallocator that was current when they were made.
struct BlockPrefix {
    void (*deallocate)(void* block, void* user);
    void* user;
};
static_assert(sizeof(BlockPrefix) == 16);

// Body of a block of `size` bytes from `init`'s allocator, or null.
void* allocateBlock(const ContextInitBlock& init, size_t size);
// Frees a block by its body address through its own prefix.
void freeBlock(void* body);

// Base of every engine object. The virtual destructor gives the complete and the deleting
// destructor; the class-level operator delete returns the block through its prefix.
class Object {
public:
    explicit Object(Context& context);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    static void operator delete(void* body) { freeBlock(body); }

    void addRef();
    // Drops one reference; the last one runs the deleting destructor.
    void release();
    Context& context() const { return *context_; }
    int64_t refCount() const { return refs_; }

protected:
    struct ContextTag {};
    explicit Object(ContextTag);  // the context's own constructor: it points to itself

    int64_t refs_ = 0;
    Context* context_;
};

// Every object a handle can show carries an 8-byte type tag in place of run-time type information.
class TaggedObject : public Object {
public:
    TaggedObject(Context& context, const char* tag);  // 8 bytes
    ~TaggedObject() override;
    bool hasTag(const char* tag) const { return memcmp(tag_, tag, 8) == 0; }

protected:
    TaggedObject(ContextTag t, const char* tag);
    char tag_[8];
};

// Parameters of matching; every context holds the defaults and every enrollment a copy.
namespace ContinousVoting {
struct Parameters {
    uint16_t minimumVotes = 10;
    uint8_t rotationWindow = 7;  // angle units
};
}  // namespace ContinousVoting

struct CorrFinderParameters {
    uint32_t lowestNorm = 84050;
    uint32_t highestNorm = 188498;
    uint16_t goodPairDistance2 = 25;
    uint16_t pairDistance2 = 225;
    uint8_t cellDistance2 = 16;
    uint8_t closeCellDistance2 = 3;
    uint8_t rotationBins = 7;
};

struct MatchParameters {
    int32_t spareOffset = -1883505;  // not read
    int32_t spareSlope = 248;        // not read
    int32_t oneViewOffset = -1883505;
    int32_t oneViewSlope = 248;
    int32_t fourViewOffset = -2473329;
    int32_t fourViewSlope = 295;
    ContinousVoting::Parameters voting;
    CorrFinderParameters corr;
};

// Parameters of the minutia detector and of the acceptance test, in their stored order.
struct FeatureExtractionImplParameters {
    uint32_t minimumResponse = 80;  // bifurcation filter: least best response
    uint32_t dominance = 102;       // best * dominance must reach 256 * its partner
    uint32_t kindThreshold = 105;   // confidence above this gives a kind
    uint64_t imageObserver = 0;     // optional observers, none in this build
    uint32_t structureOffset = 1328;  // corner response: both tensor eigenvalues must exceed it
    uint64_t pointObserver = 0, candidateObserver = 0, minutiaObserver = 0;
    uint32_t minimumMinutiae = 4;
    uint32_t minimumArea = 11000;
};

struct ExtractionParameters {
    uint32_t v0 = 36;
    uint32_t v1 = 7;
    uint32_t v2 = 44;  // 256 * tan(angle 7) by the sine table
    uint32_t v3 = 0;
    uint32_t v4 = 13;
    uint32_t alignmentNormLow = 26586632;   // plausible-rotation bounds of alignment records
    uint32_t alignmentNormHigh = 41332232;
    int16_t cos0 = 256;
    int16_t sin0 = 0;
    uint8_t v9 = 0;
    uint32_t v10 = 218453;
    uint32_t v11 = 118;
    FeatureExtractionImplParameters impl;
};

class Context final : public TaggedObject {
public:
    static constexpr char kTag[] = "C\x7f~text";  // 43 7F 7E 74 65 78 74 00
    explicit Context(const ContextInitBlock& init);
    ~Context() override;

    void* allocate(size_t size) const { return allocateBlock(init_, size); }
    int64_t increment(int64_t* counter) const { return init_.increment(counter); }
    int64_t decrement(int64_t* counter) const { return init_.decrement(counter); }

    ContextInitBlock init_;  // always the 72-byte form, missing counters filled in
    MatchParameters matchParameters;
    ExtractionParameters extractionParameters;
};

// Handle block body; the handle is its address.
struct HandleBlock {
    char magic[7];     // "Handle" and a zero byte
    uint8_t readOnly;  // 0 mutable object, 1 read-only object
    Object* object;
};

// Constructs T in a block from `context`'s allocator; null when the allocator fails.
template <class T, class... Args>
T* newObject(Context& context, Args&&... args) {
    void* body = context.allocate(sizeof(T));
    if (body == nullptr) return nullptr;
    return ::new (body) T(context, std::forward<Args>(args)...);
}

// Makes a handle block that holds a new reference to `object`.
RecogResult makeHandle(Object& object, bool readOnly, RecogHandle* out);

// The handle block behind a handle, or null for a null handle, a wrong magic or a bad flag.
HandleBlock* handleBlock(RecogHandle handle);

// FromHandle: a mutable use accepts only mutable handles; a read-only use accepts both kinds.
template <class T>
T* FromHandle(RecogHandle handle, bool mutableUse) {
    HandleBlock* block = handleBlock(handle);
    if (block == nullptr || (mutableUse && block->readOnly != 0)) return nullptr;
    auto* object = static_cast<TaggedObject*>(block->object);
    if (object == nullptr || !object->hasTag(T::kTag)) return nullptr;
    return static_cast<T*>(object);
}

// A counted reference held for the length of a call.
template <class T>
class Ptr {
public:
    Ptr() = default;
    explicit Ptr(T* object) : object_(object) {
        if (object_) object_->addRef();
    }
    Ptr(RecogHandle handle, bool mutableUse) : Ptr(FromHandle<T>(handle, mutableUse)) {}
    ~Ptr() {
        if (object_) object_->release();
    }
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    explicit operator bool() const { return object_ != nullptr; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    T* get() const { return object_; }

private:
    T* object_ = nullptr;
};

// The creation pattern of every Recog* creator: the new object is held by a local reference
// while `work` fills it; only when `work` does not fail does a handle take it over, so a failed
// creation frees everything it allocated and leaves `out` untouched.
template <class T, class Work>
RecogResult createWithHandle(Context& context, bool readOnly, RecogHandle* out, Work&& work) {
    Ptr<T> object(newObject<T>(context));
    if (!object) return RECOG_E_OUT_OF_MEMORY;
    const RecogResult status = work(*object);
    if (status < 0) return status;
    return makeHandle(*object, readOnly, out);
}

// A feature set: one view.
class FpFtrSetObj final : public TaggedObject {
public:
    static constexpr char kTag[] = "FpFtrSet";
    explicit FpFtrSetObj(Context& context) : TaggedObject(context, kTag) {}

    // Records by format code: `size` is the capacity on entry and the record's size on return.
    RecogResult Export(uint32_t format, const void* options, uint8_t* buffer, size_t& size) const;
    RecogResult Import(const uint8_t* data, size_t size, uint32_t format, uint32_t purpose, const void* options);

    MatchData view;
};

// A template: up to four views, best first.
using FpTemplate = fixed_vector<MatchData, 4>;

class FpTemplateObj final : public TaggedObject {
public:
    static constexpr char kTag[] = "Template";
    explicit FpTemplateObj(Context& context) : TaggedObject(context, kTag) {}

    // Records by format code: `size` is the capacity on entry and the record's size on return.
    RecogResult Export(uint32_t format, const void* options, uint8_t* buffer, size_t& size) const;
    RecogResult Import(const uint8_t* data, size_t size, uint32_t format, uint32_t purpose, const void* options);

    FpTemplate views;
};

}  // namespace DurodudUrodera::FpRecEngineImpl

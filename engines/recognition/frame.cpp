// Engine frame: blocks, objects, the context, handle blocks and the handle functions.
#include <string.h>

#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"

namespace DurodudUrodera::FpRecEngineImpl {
namespace {

constexpr char kHandleMagic[7] = "Handle";

// Built-in counters for callers that give none: plain, so one context belongs to one thread.
int64_t plainIncrement(int64_t* counter) { return ++*counter; }
int64_t plainDecrement(int64_t* counter) { return --*counter; }
int64_t plainExchange(int64_t* counter, int64_t value) {
    const int64_t old = *counter;
    *counter = value;
    return old;
}
int64_t plainCompareExchange(int64_t* counter, int64_t value, int64_t expected) {
    const int64_t old = *counter;
    if (old == expected) *counter = value;
    return old;
}

}  // namespace

void* allocateBlock(const ContextInitBlock& init, size_t size) {
    auto* prefix = static_cast<BlockPrefix*>(init.allocate(sizeof(BlockPrefix) + size, init.user));
    if (prefix == nullptr) return nullptr;
    prefix->deallocate = init.deallocate;
    prefix->user = init.user;
    return prefix + 1;
}

void freeBlock(void* body) {
    if (body == nullptr) return;
    BlockPrefix* prefix = static_cast<BlockPrefix*>(body) - 1;
    prefix->deallocate(prefix, prefix->user);
}

Object::Object(Context& context) : context_(&context) { context.addRef(); }

Object::Object(ContextTag) : context_(nullptr) {}

Object::~Object() {
    if (context_ != nullptr) context_->release();
}

void Object::addRef() { context_->increment(&refs_); }

void Object::release() {
    if (context_->decrement(&refs_) == 0) delete this;
}

TaggedObject::TaggedObject(Context& context, const char* tag) : Object(context) { memcpy(tag_, tag, 8); }

TaggedObject::TaggedObject(ContextTag t, const char* tag) : Object(t) { memcpy(tag_, tag, 8); }

TaggedObject::~TaggedObject() { memset(tag_, 0, sizeof tag_); }

Context::Context(const ContextInitBlock& init) : TaggedObject(ContextTag{}, kTag) {
    context_ = this;
    memset(&init_, 0, sizeof init_);
    memcpy(&init_, &init, init.size);
    if (init.size < sizeof(ContextInitBlock)) {
        init_.increment = nullptr;
        init_.decrement = nullptr;
        init_.exchange = nullptr;
        init_.compareExchange = nullptr;
    }
    if (init_.increment == nullptr) init_.increment = plainIncrement;
    if (init_.decrement == nullptr) init_.decrement = plainDecrement;
    if (init_.exchange == nullptr) init_.exchange = plainExchange;
    if (init_.compareExchange == nullptr) init_.compareExchange = plainCompareExchange;
}

// The context owns no reference on itself.
Context::~Context() { context_ = nullptr; }

HandleBlock* handleBlock(RecogHandle handle) {
    if (handle == nullptr) return nullptr;
    auto* block = reinterpret_cast<HandleBlock*>(handle);
    if (memcmp(block->magic, kHandleMagic, sizeof kHandleMagic) != 0 || block->readOnly > 1) return nullptr;
    return block;
}

RecogResult makeHandle(Object& object, bool readOnly, RecogHandle* out) {
    auto* block = static_cast<HandleBlock*>(object.context().allocate(sizeof(HandleBlock)));
    if (block == nullptr) return RECOG_E_OUT_OF_MEMORY;
    memcpy(block->magic, kHandleMagic, sizeof kHandleMagic);
    block->readOnly = readOnly ? 1 : 0;
    block->object = &object;
    object.addRef();
    *out = reinterpret_cast<RecogHandle>(block);
    return RECOG_OK;
}

}  // namespace DurodudUrodera::FpRecEngineImpl

using namespace DurodudUrodera::FpRecEngineImpl;

extern "C" RecogResult RecogCreateContext(ContextInitBlock* init, RecogHandle* out) {
    if (init == nullptr || out == nullptr) return RECOG_E_INVALID_ARG;
    if (init->size != 40 && init->size != sizeof(ContextInitBlock)) return RECOG_E_INVALID_ARG;
    // Without an allocator pair every later call would jump through a null pointer.
    if (init->allocate == nullptr || init->deallocate == nullptr) return RECOG_E_INVALID_ARG;

    void* body = allocateBlock(*init, sizeof(Context));
    if (body == nullptr) return RECOG_E_OUT_OF_MEMORY;
    Ptr<Context> context(::new (body) Context(*init));
    return makeHandle(*context, true, out);
}

extern "C" RecogResult RecogCloseHandle(RecogHandle handle) {
    if (handle == nullptr) return RECOG_OK;
    HandleBlock* block = handleBlock(handle);
    if (block == nullptr) return RECOG_E_HANDLE;
    block->object->release();
    memset(block, 0, offsetof(HandleBlock, object));
    freeBlock(block);
    return RECOG_OK;
}

extern "C" RecogResult RecogGetLibraryVersion(uint32_t version[4]) {
    if (version == nullptr) return RECOG_E_INVALID_ARG;
    version[0] = 6;
    version[1] = 0;
    version[2] = 1;
    version[3] = 1561;
    return RECOG_OK;
}

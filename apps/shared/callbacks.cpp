// The callbacks this process registered: the service echoes a callback address and user data in
// every event header, and the events handler calls only a pair that is listed here.

#include "apps/shared/detail/callbacks.h"

#include <map>
#include <mutex>
#include <tuple>

namespace tov::client::detail {
namespace {

using Key = std::tuple<CallbackKind, uint64_t, uint64_t>;

std::mutex gLock;
std::map<Key, uint32_t>& registered() {
    static auto* table = new std::map<Key, uint32_t>;
    return *table;
}

}  // namespace

void callbackAdd(CallbackKind kind, uint64_t callback, uint64_t userData) {
    if (callback == 0) return;
    std::lock_guard<std::mutex> hold(gLock);
    registered()[Key{kind, callback, userData}] += 1;
}

void callbackRemove(CallbackKind kind, uint64_t callback, uint64_t userData) {
    std::lock_guard<std::mutex> hold(gLock);
    auto found = registered().find(Key{kind, callback, userData});
    if (found != registered().end() && --found->second == 0) registered().erase(found);
}

bool callbackKnown(CallbackKind kind, uint64_t callback, uint64_t userData, bool consume) {
    std::lock_guard<std::mutex> hold(gLock);
    auto found = registered().find(Key{kind, callback, userData});
    if (found == registered().end()) return false;
    if (consume && --found->second == 0) registered().erase(found);
    return true;
}

void callbackForgetAll() {
    std::lock_guard<std::mutex> hold(gLock);
    registered().clear();
}

}  // namespace tov::client::detail

// The order in which an identification searches the users of a storage (recently recognised users
// first, kept in the settings as "IterationPolicy"), and the list of enrolled users.
#include "platform/memory.h"
#include "platform/settings.h"
#include "tcs/database/dss_store.h"
#include "tcs/flows/ex_detail.h"
#include "tcs/flows/ex_recognition.h"

#include <cstring>
#include <vector>

using namespace exflows;

namespace {

constexpr const char* kPolicySection = "SOFTWARE\\Tovantic\\tfs530";
constexpr const char* kPolicyValue = "IterationPolicy";

// The stored order when it is a permutation of 0..count-1; else database order.
std::vector<uint32_t> storedOrder(uint32_t count) {
    std::vector<uint32_t> order(count);
    for (uint32_t i = 0; i < count; ++i) order[i] = i;
    const uint8_t none = 0;
    uint32_t bytes = 0;
    if (palGetPersistentDataBinaryValue(kPolicySection, kPolicyValue, &none, 0, nullptr, &bytes) != TCS_RESULT_OK ||
        bytes != count * 4) {
        return order;
    }
    std::vector<uint8_t> raw(bytes);
    if (palGetPersistentDataBinaryValue(kPolicySection, kPolicyValue, &none, 0, raw.data(), &bytes) != TCS_RESULT_OK ||
        bytes != count * 4) {
        return order;
    }
    std::vector<uint32_t> stored(count);
    std::memcpy(stored.data(), raw.data(), raw.size());
    std::vector<bool> seen(count, false);
    for (uint32_t position : stored) {
        if (position >= count || seen[position]) return order;
        seen[position] = true;
    }
    return stored;
}

}  // namespace

extern "C" {

TcsResult tcsExGetUserHandleList(IterationPolicy* policy, uint32_t kind, TcsHandle appStorage, uint32_t* outCount,
                                 TcsHandle** outUsers) {
    if (appStorageOf(appStorage) == nullptr || policy == nullptr || outCount == nullptr || outUsers == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    *outCount = 0;
    *outUsers = nullptr;
    *policy = IterationPolicy{kind, 0, nullptr};
    std::vector<TcsHandle> users;
    auto closeAll = [&] {
        for (TcsHandle user : users) tcsDatabaseCloseUser(user);
    };
    for (bool first = true;; first = false) {
        TcsHandle user = 0;
        const TcsResult result =
            first ? tcsDatabaseOpenFirstUser(appStorage, &user) : tcsDatabaseOpenNextUser(appStorage, &user);
        if (result == TCS_RESULT_USER_DOESNT_EXIST) break;
        if (result != TCS_RESULT_OK) {
            closeAll();
            return result;
        }
        users.push_back(user);
    }
    const uint32_t count = uint32_t(users.size());
    if (count == 0) return TCS_RESULT_OK;
    auto* array = static_cast<TcsHandle*>(palRealMalloc(count * sizeof(TcsHandle)));
    auto* list = kind == TCS_EX_POLICY_ORDERED ? static_cast<uint32_t*>(palRealMalloc(count * sizeof(uint32_t)))
                                               : nullptr;
    if (array == nullptr || (kind == TCS_EX_POLICY_ORDERED && list == nullptr)) {
        palRealFree(array);
        palRealFree(list);
        closeAll();
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    if (kind == TCS_EX_POLICY_ORDERED) {
        const std::vector<uint32_t> order = storedOrder(count);
        for (uint32_t i = 0; i < count; ++i) {
            list[i] = order[i];
            array[i] = users[order[i]];
        }
        policy->count = count;
        policy->list = list;
    } else {
        std::memcpy(array, users.data(), count * sizeof(TcsHandle));
    }
    *outCount = count;
    *outUsers = array;
    return TCS_RESULT_OK;
}

TcsResult _tcsUserIterationPolicyUpdate(IterationPolicy* policy, uint32_t position) {
    if (policy == nullptr) return TCS_RESULT_NULL_POINTER;
    if (policy->kind != TCS_EX_POLICY_ORDERED || policy->list == nullptr || position >= policy->count) {
        return TCS_RESULT_OK;
    }
    uint32_t* list = policy->list;
    const uint32_t found = list[position];
    std::memmove(list + 1, list, position * sizeof(uint32_t));
    list[0] = found;
    const TcsResult result = palSetPersistentDataBinaryValue(kPolicySection, kPolicyValue,
                                                             reinterpret_cast<const uint8_t*>(list),
                                                             policy->count * uint32_t(sizeof(uint32_t)));
    palRealFree(list);
    policy->list = nullptr;
    policy->count = 0;
    return result;
}

TcsResult tcsExGetEnrolledUserList(TcsHandle sensorHandle, TcsHandle appStorage, ExBuffer** outUsers,
                                   uint32_t* outCount) {
    SensorRecord* sensor = nullptr;
    TcsResult result = sensorOf(sensorHandle, &sensor);
    if (result != TCS_RESULT_OK) return result;
    if (appStorageOf(appStorage) == nullptr || outUsers == nullptr || outCount == nullptr) {
        return TCS_RESULT_NULL_POINTER;
    }
    *outUsers = nullptr;
    *outCount = 0;
    std::vector<ExBuffer> ids;
    auto freeIds = [&] {
        for (ExBuffer& id : ids) tcsBufferFree(id.data);
    };
    for (bool first = true;; first = false) {
        DbHandle user(tcsDatabaseCloseUser);
        result = first ? tcsDatabaseOpenFirstUser(appStorage, user.out()) : tcsDatabaseOpenNextUser(appStorage, user.out());
        if (result == TCS_RESULT_USER_DOESNT_EXIST) break;
        if (result == TCS_RESULT_OK) {
            DbHandle templ(tcsDatabaseCloseTemplate);
            result = tcsDatabaseOpenFirstTemplate(user.get(), templ.out());
            if (result == TCS_RESULT_TEMPLATE_DOESNT_EXIST) continue;
        }
        uint8_t* data = nullptr;
        uint32_t length = 0;
        if (result == TCS_RESULT_OK) result = tcsDatabaseGetUserData(user.get(), DSS_BLOB_USER_ID, &data, &length);
        if (result != TCS_RESULT_OK) {
            freeIds();
            return result;
        }
        ids.push_back(ExBuffer{length, data});
    }
    if (ids.empty()) return TCS_RESULT_OK;
    auto* array = static_cast<ExBuffer*>(palRealMalloc(ids.size() * sizeof(ExBuffer)));
    if (array == nullptr) {
        freeIds();
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    std::memcpy(array, ids.data(), ids.size() * sizeof(ExBuffer));
    *outUsers = array;
    *outCount = uint32_t(ids.size());
    return TCS_RESULT_OK;
}

}  // extern "C"

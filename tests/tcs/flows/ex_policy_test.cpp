// The order in which identification searches users (the stored "IterationPolicy"), and the list of
// enrolled users, over a file database on the stack with the virtual sensor.
#include "tests/tcs/flows/ex_flows_fixture.h"

#include "tcs/flows/ex_recognition.h"

namespace {

constexpr const char* kSection = "SOFTWARE\\Tovantic\\tfs530";

class ExPolicy : public ExFlowsStack {
protected:
    void SetUp() override {
        ExFlowsStack::SetUp();
        start();
        app_ = fileStorage("db.img");
    }
    static void storePolicy(const std::vector<uint32_t>& list) {
        palSetPersistentDataBinaryValue(kSection, "IterationPolicy", reinterpret_cast<const uint8_t*>(list.data()),
                                        uint32_t(list.size() * 4));
    }
    static std::vector<uint32_t> storedPolicy() {
        uint8_t raw[64] = {};
        uint32_t count = sizeof raw;
        const uint8_t none = 0;
        if (palGetPersistentDataBinaryValue(kSection, "IterationPolicy", &none, 0, raw, &count) != 0) return {};
        std::vector<uint32_t> out(count / 4);
        std::memcpy(out.data(), raw, out.size() * 4);
        return out;
    }
    // The ids of the handles tcsExGetUserHandleList gives, in its order; the handles are closed.
    std::vector<std::string> searchOrder(uint32_t kind, IterationPolicy* policy) {
        uint32_t count = 0;
        TcsHandle* users = nullptr;
        EXPECT_EQ(tcsExGetUserHandleList(policy, kind, app_, &count, &users), TCS_RESULT_OK);
        std::vector<std::string> out;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* data = nullptr;
            uint32_t length = 0;
            if (tcsDatabaseGetUserData(users[i], 1, &data, &length) == 0) out.emplace_back(data, data + length);
            tcsBufferFree(data);
            tcsDatabaseCloseUser(users[i]);
        }
        tcsBufferFree(users);
        return out;
    }
    void enrollUsers(std::initializer_list<const char*> names) {
        for (const char* name : names) ASSERT_EQ(enroll(app_, bytesOf(name), 1), TCS_RESULT_OK) << name;
    }

    TcsHandle app_ = 0;
};

TEST_F(ExPolicy, AStoredOrderIsUsedOnlyWhenItIsAWholePermutation) {
    enrollUsers({"a", "b", "c"});
    ASSERT_EQ(userIds(app_), (std::vector<Bytes>{bytesOf("a"), bytesOf("b"), bytesOf("c")}));
    struct Case {
        const char* name;
        std::vector<uint32_t> stored;
        std::vector<std::string> order;
    };
    const std::vector<std::string> database{"a", "b", "c"};
    for (const Case& c : std::vector<Case>{{"a permutation", {2, 0, 1}, {"c", "a", "b"}},
                                           {"a repeated position", {2, 2, 1}, database},
                                           {"the user count as a position", {0, 3, 1}, database},
                                           {"a shorter list", {1, 0}, database},
                                           {"a longer list", {2, 1, 0, 3}, database},
                                           {"nothing stored", {}, database}}) {
        storePolicy(c.stored);
        IterationPolicy policy{};
        EXPECT_EQ(searchOrder(TCS_EX_POLICY_ORDERED, &policy), c.order) << c.name;
        EXPECT_EQ(policy.kind, TCS_EX_POLICY_ORDERED);
        ASSERT_EQ(policy.count, 3u) << c.name;
        std::vector<uint32_t> positions(policy.list, policy.list + policy.count);
        EXPECT_EQ(positions, c.order == database ? (std::vector<uint32_t>{0, 1, 2}) : c.stored) << c.name;
        tcsBufferFree(policy.list);
    }
    // Kind 0 keeps database order whatever is stored, and carries no list.
    storePolicy({2, 0, 1});
    IterationPolicy policy{};
    EXPECT_EQ(searchOrder(0, &policy), database);
    EXPECT_EQ(policy.list, nullptr);
}

TEST_F(ExPolicy, AMatchMovesItsPositionToTheFrontAndIsStored) {
    enrollUsers({"a", "b", "c", "d"});
    storePolicy({3, 1, 0, 2});
    IterationPolicy policy{};
    searchOrder(TCS_EX_POLICY_ORDERED, &policy);
    // Found at search position 2 (user a): it leads, the ones before it shift back by one.
    ASSERT_EQ(_tcsUserIterationPolicyUpdate(&policy, 2), TCS_RESULT_OK);
    EXPECT_EQ(storedPolicy(), (std::vector<uint32_t>{0, 3, 1, 2}));
    EXPECT_EQ(policy.list, nullptr) << "the list goes with the update";
    EXPECT_EQ(searchOrder(TCS_EX_POLICY_ORDERED, &policy), (std::vector<std::string>{"a", "d", "b", "c"}));
    // A position beyond the list, or a policy of another kind, changes nothing.
    EXPECT_EQ(_tcsUserIterationPolicyUpdate(&policy, 4), TCS_RESULT_OK);
    tcsBufferFree(policy.list);
    IterationPolicy unordered{0, 0, nullptr};
    EXPECT_EQ(_tcsUserIterationPolicyUpdate(&unordered, 0), TCS_RESULT_OK);
    EXPECT_EQ(storedPolicy(), (std::vector<uint32_t>{0, 3, 1, 2}));
    EXPECT_EQ(_tcsUserIterationPolicyUpdate(nullptr, 0), TCS_RESULT_NULL_POINTER);
}

TEST_F(ExPolicy, HandleListArguments) {
    IterationPolicy policy{};
    uint32_t count = 7;
    TcsHandle* users = reinterpret_cast<TcsHandle*>(1);
    EXPECT_EQ(tcsExGetUserHandleList(&policy, 1, app_, &count, &users), TCS_RESULT_OK);
    EXPECT_EQ(count, 0u) << "an empty storage";
    EXPECT_EQ(users, nullptr);
    EXPECT_EQ(tcsExGetUserHandleList(&policy, 1, 0, &count, &users), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExGetUserHandleList(&policy, 1, app_, nullptr, &users), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExGetUserHandleList(&policy, 1, app_, &count, nullptr), TCS_RESULT_NULL_POINTER);
}

TEST_F(ExPolicy, EnrolledUsersAreThoseWithATemplate) {
    ExBuffer* users = reinterpret_cast<ExBuffer*>(1);
    uint32_t count = 9;
    ASSERT_EQ(tcsExGetEnrolledUserList(sensor_, app_, &users, &count), TCS_RESULT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(users, nullptr);

    enrollUsers({"ann", "ben"});
    // A user without templates is not enrolled.
    TcsHandle bare = 0;
    ASSERT_EQ(tcsDatabaseCreateUser(app_, &bare), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseSetUserData(bare, 1, reinterpret_cast<const uint8_t*>("cy"), 2), TCS_RESULT_OK);
    ASSERT_EQ(tcsDatabaseCloseUser(bare), TCS_RESULT_OK);
    ASSERT_EQ(userIds(app_).size(), 3u);

    ASSERT_EQ(tcsExGetEnrolledUserList(sensor_, app_, &users, &count), TCS_RESULT_OK);
    ASSERT_EQ(count, 2u);
    std::vector<Bytes> ids;
    for (uint32_t i = 0; i < count; ++i) {
        ids.emplace_back(users[i].data, users[i].data + users[i].length);
        tcsBufferFree(users[i].data);
    }
    tcsBufferFree(users);
    EXPECT_EQ(ids, (std::vector<Bytes>{bytesOf("ann"), bytesOf("ben")}));

    EXPECT_EQ(tcsExGetEnrolledUserList(0, app_, &users, &count), TCS_RESULT_NULL_SENSOR_HANDLE);
    EXPECT_EQ(tcsExGetEnrolledUserList(sensor_, 0, &users, &count), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsExGetEnrolledUserList(sensor_, app_, nullptr, &count), TCS_RESULT_NULL_POINTER);
}

}  // namespace

// Work lists: queueing positions, detach placement, taking by type, cancelling and the time-out clock.

#include "platform/test_seams.h"
#include "platform/worklist.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr WorkItemType kDetach = PAL_WORK_ITEM_PNP_DETACH;

class WorkLists : public ::testing::Test {
protected:
    void SetUp() override {
        wake_ = palEventAlloc(0, 0, nullptr);
        ASSERT_EQ(palWorkListInitialize(&list_, wake_), TCS_RESULT_OK);
    }
    void TearDown() override {
        while (!palListIsEmpty(&list_.links)) {
            PalListEntry* e = list_.links.next;
            palListRemove(e);
            palWorkItemDestroy(PAL_WORK_ITEM_FROM_LINKS(e));
        }
        palWorkListUninitialize(&list_);
        palEventFree(wake_);
        palTestUseRealClock();
    }
    void queue(std::initializer_list<WorkItemType> types) {
        for (WorkItemType type : types) ASSERT_EQ(palWorkItemEnqueue(&list_, type, 0, nullptr, 0, 0, 1, nullptr), 0u);
    }
    std::vector<WorkItemType> types() const {
        std::vector<WorkItemType> out;
        for (PalListEntry* e = list_.links.next; e != &list_.links; e = e->next) {
            out.push_back(PAL_WORK_ITEM_FROM_LINKS(e)->type);
        }
        return out;
    }

    WorkList list_{};
    PalEvent* wake_ = nullptr;
};

}  // namespace

TEST_F(WorkLists, DetachGoesBehindTheFirstItemThatIsNotPlugAndPlay) {
    struct Case {
        std::vector<WorkItemType> queued;
        std::vector<WorkItemType> after;
    };
    const WorkItemType A = 5, B = 6;
    for (const auto& c : std::vector<Case>{{{67, 68, A, B}, {67, 68, A, kDetach, B}},
                                           {{A, B}, {A, kDetach, B}},
                                           {{}, {kDetach}},
                                           {{67, 69}, {67, 69, kDetach}},
                                           {{68, A}, {68, A, kDetach}}}) {
        TearDown();
        SetUp();
        for (WorkItemType type : c.queued) queue({type});
        uint32_t sequence = 0;
        EXPECT_EQ(palEnqueuePnpDetachWorkItem(&list_, 100, nullptr, &sequence), TCS_RESULT_OK);
        EXPECT_EQ(sequence, uint32_t(c.queued.size() + 1));
        EXPECT_EQ(types(), c.after);
    }
}

TEST_F(WorkLists, NumbersStartAtOneAndEveryQueueingWakesTheOwner) {
    uint32_t first = 0, second = 0;
    EXPECT_EQ(palWorkItemEnqueue(&list_, 3, 500, this, 11, 22, 1, &first), TCS_RESULT_OK);
    EXPECT_EQ(palEventWaitFor(wake_, 0), TCS_RESULT_OK);
    EXPECT_EQ(palWorkItemEnqueueHead(&list_, 4, 0, nullptr, 0, 0, 0, &second), TCS_RESULT_OK);
    EXPECT_EQ(palEventWaitFor(wake_, 0), TCS_RESULT_OK);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    EXPECT_EQ(types(), (std::vector<WorkItemType>{4, 3}));

    WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(list_.links.prev);
    EXPECT_EQ(item->object, this);
    EXPECT_EQ(item->parameter1, 11u);
    EXPECT_EQ(item->parameter2, 22u);
    EXPECT_EQ(item->remainingMs, 500u);
    EXPECT_EQ(item->baseTick, 0u);
    EXPECT_EQ(item->itemLock, &list_.itemLock);
    EXPECT_EQ(palWorkItemEnqueue(nullptr, 3, 0, nullptr, 0, 0, 1, nullptr), TCS_RESULT_BAD_PARAM);
}

TEST_F(WorkLists, GetTakesTheFirstItemOfTheType) {
    queue({1, 2, 3, 3});
    WorkItem* item = palWorkItemGet(&list_, 1, 3);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->sequence, 3u);
    EXPECT_EQ(item->links.next, PAL_LIST_POISON_NEXT);
    EXPECT_EQ(item->links.prev, PAL_LIST_POISON_PREV);
    EXPECT_EQ(types(), (std::vector<WorkItemType>{1, 2, 3}));
    EXPECT_EQ(palWorkItemDestroy(item), TCS_RESULT_OK);
    EXPECT_EQ(palWorkItemGet(&list_, 1, 9), nullptr);
    EXPECT_EQ(palWorkItemDestroy(nullptr), TCS_RESULT_INVALID);
}

TEST_F(WorkLists, ConditionalQueueingRefusesWhenThePredicateMatches) {
    queue({1, 2});
    auto sameType = [](WorkItem* queued, WorkItemType type, void*, uint64_t, uint64_t) -> uint32_t {
        return queued->type == type ? 1 : 0;
    };
    uint32_t sequence = 0;
    EXPECT_EQ(palWorkItemEnumEnqueueConditional(&list_, 2, 0, nullptr, 0, 0, 1, &sequence, sameType),
              TCS_RESULT_SENSOR_BUSY);
    EXPECT_EQ(types(), (std::vector<WorkItemType>{1, 2}));
    EXPECT_EQ(palWorkItemEnumEnqueueConditional(&list_, 7, 0, nullptr, 0, 0, 1, &sequence, sameType), TCS_RESULT_OK);
    EXPECT_EQ(types(), (std::vector<WorkItemType>{1, 2, 7}));
    EXPECT_EQ(palWorkItemEnumEnqueueConditional(&list_, 8, 0, nullptr, 0, 0, 1, &sequence, nullptr),
              TCS_RESULT_BAD_PARAM);
}

TEST_F(WorkLists, CancelMarksOnlyTheNumberedItem) {
    queue({1, 2});
    EXPECT_EQ(palWorkItemCancel(&list_, 34, 1, 99), TCS_RESULT_OK);  // no such number: nothing changes
    for (PalListEntry* e = list_.links.next; e != &list_.links; e = e->next) {
        EXPECT_EQ(PAL_WORK_ITEM_FROM_LINKS(e)->cancelled, 0u);
    }
    EXPECT_EQ(palWorkItemCancel(&list_, 34, 1, 2), TCS_RESULT_OK);
    WorkItem* second = PAL_WORK_ITEM_FROM_LINKS(list_.links.prev);
    EXPECT_EQ(second->cancelled, 1u);
    EXPECT_EQ(second->cancelReason, 34u);
    EXPECT_EQ(types().size(), 2u);  // stays queued
}

TEST_F(WorkLists, VisitorMayFreeItsItemAndStopTheWalk) {
    queue({1, 2, 3, 4});
    struct Context {
        std::vector<WorkItemType> seen;
    } context;
    auto visitor = [](WorkItem* item, void* raw) -> uint32_t {
        auto* ctx = static_cast<Context*>(raw);
        ctx->seen.push_back(item->type);
        if (item->type == 2) {
            palListRemove(&item->links);
            palWorkItemDestroy(item);
        }
        return item == nullptr || ctx->seen.size() == 3 ? 1 : 0;
    };
    EXPECT_EQ(palWorkListCallForEach(&list_, 1, visitor, &context), TCS_RESULT_OK);
    EXPECT_EQ(context.seen, (std::vector<WorkItemType>{1, 2, 3}));
    EXPECT_EQ(types(), (std::vector<WorkItemType>{1, 3, 4}));
    EXPECT_EQ(palWorkListCallForEach(&list_, 1, nullptr, nullptr), TCS_RESULT_BAD_PARAM);
}

TEST_F(WorkLists, TimeoutEachTestConsumesTheTimeSinceThePrevious) {
    // Started just below a 32-bit tick wrap, so the wrap happens during the wait.
    palTestSetClock(0x7FFFFFFFE0ull);
    queue({1});
    WorkItem* item = PAL_WORK_ITEM_FROM_LINKS(list_.links.next);
    EXPECT_EQ(palWorkItemSetTimeout(item, 50, 1), TCS_RESULT_OK);
    EXPECT_EQ(item->baseTick, 0xFFFFFFE0u);
    palTestAdvanceClock(30);
    EXPECT_EQ(palWorkItemIsTimeout(item), 0u);
    EXPECT_EQ(item->remainingMs, 20u);
    palTestAdvanceClock(25);
    EXPECT_EQ(palWorkItemIsTimeout(item), 1u);
    EXPECT_EQ(item->remainingMs, 0u);

    EXPECT_EQ(palWorkItemSetTimeout(item, 10, 0), TCS_RESULT_OK);  // the ordinary tick, same source
    EXPECT_EQ(palWorkItemIsTimeout(item), 0u);
    palTestAdvanceClock(10);
    EXPECT_EQ(palWorkItemIsTimeout(item), 1u);
    EXPECT_EQ(palWorkItemSetTimeout(nullptr, 10, 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palWorkItemIsTimeout(nullptr), 0u);
}

// Test fixture: a counting, failure-injecting allocator and direct construction of feature sets and
// templates (extraction and import build them the same way).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <vector>

#include "engines/recognition/objects.h"
#include "engines/recognition/recog.h"
#include "tests/engines/recognition/synthetic.h"

namespace recogtest {

namespace R = DurodudUrodera::FpRecEngineImpl;

struct AllocationLog {
    std::map<void*, size_t> live;
    std::vector<size_t> sizes;  // of every allocation, in order
    int frees = 0;
    int failAt = -1;            // index of the allocation to refuse, -1 none

    static void* allocate(size_t size, void* user) {
        auto* log = static_cast<AllocationLog*>(user);
        if (int(log->sizes.size()) == log->failAt) {
            log->failAt = -1;
            return nullptr;
        }
        void* p = malloc(size);
        log->live[p] = size;
        log->sizes.push_back(size);
        return p;
    }
    static void deallocate(void* p, void* user) {
        auto* log = static_cast<AllocationLog*>(user);
        EXPECT_EQ(log->live.erase(p), 1u) << "free of a block not allocated";
        ++log->frees;
        free(p);
    }
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        init_.size = 40;
        init_.user = &log_;
        init_.allocate = AllocationLog::allocate;
        init_.deallocate = AllocationLog::deallocate;
        ASSERT_EQ(RecogCreateContext(&init_, &context_), RECOG_OK);
    }
    void TearDown() override {
        for (RecogHandle h : open_) EXPECT_EQ(RecogCloseHandle(h), RECOG_OK);
        EXPECT_EQ(RecogCloseHandle(context_), RECOG_OK);
        EXPECT_TRUE(log_.live.empty()) << log_.live.size() << " blocks leaked";
    }

    R::Context& context() { return *R::FromHandle<R::Context>(context_, false); }

    // A feature set handle (mutable, as extraction gives it) that the fixture closes.
    RecogHandle featureSet(const R::MatchData& view, RecogHandle ctx = nullptr) {
        R::Context& owner = *R::FromHandle<R::Context>(ctx ? ctx : context_, false);
        R::Ptr<R::FpFtrSetObj> object(R::newObject<R::FpFtrSetObj>(owner));
        object->view = view;
        RecogHandle h = nullptr;
        EXPECT_EQ(R::makeHandle(*object, false, &h), RECOG_OK);
        open_.push_back(h);
        return h;
    }
    RecogHandle featureSet(const std::vector<RawMinutia>& minutiae, uint32_t purpose = 7) {
        return featureSet(toMatchData(minutiae, purpose));
    }

    // A read-only template of the given views, as import gives it.
    RecogHandle templateOf(const std::vector<R::MatchData>& views) {
        R::Ptr<R::FpTemplateObj> object(R::newObject<R::FpTemplateObj>(context()));
        for (const auto& v : views) object->views.push_back(v);
        RecogHandle h = nullptr;
        EXPECT_EQ(R::makeHandle(*object, true, &h), RECOG_OK);
        open_.push_back(h);
        return h;
    }

    RecogHandle keep(RecogHandle h) {
        open_.push_back(h);
        return h;
    }

    AllocationLog log_;
    ContextInitBlock init_{};
    RecogHandle context_ = nullptr;
    std::vector<RecogHandle> open_;
};

}  // namespace recogtest

// Test support for the adapter tests: a matcher record opened by its opener, with the handle map the
// templates need, closed and shut down at the end.
#pragma once

#include "matching_support.h"
#include "platform/memory.h"

#include <cstring>

namespace matchtest {

class AdapterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK);
        _tcsTemplateRegisterCleanups();
        _tcsImageRegisterCleanup();
        std::memset(&m_, 0, sizeof m_);
    }
    void TearDown() override {
        if (opened_) {
            if (m_.Close != nullptr) m_.Close(&m_);
            if (m_.Shutdown != nullptr) m_.Shutdown(&m_);
        }
        for (ImageRecord* image : images_) _tcsImageDestroy(image);
        for (EnrollTemplate* t : templates_) _tcsTemplateDestroy(t);
        tcsSafeHandlesUnInitialize();
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_ENROLL_TEMPLATE, nullptr);
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_MATCH_RESULTS, nullptr);
        _tcsSafeHandleSetCleanup(TCS_HANDLE_TYPE_IMAGE, nullptr);
    }
    // Runs the opener and Open, as the service does.
    TcsResult open(TcsResult (*opener)(MatcherRecord*)) {
        TcsResult result = opener(&m_);
        if (result != TCS_RESULT_OK) return result;
        opened_ = true;
        return m_.Open(&m_);
    }
    ImageRecord* image(const std::string& name, uint32_t rows = 0, uint32_t columns = 0) {
        images_.push_back(rawImage(fvc(name), rows, columns));
        return images_.back();
    }
    EnrollTemplate* keep(EnrollTemplate* t) {
        if (t != nullptr) templates_.push_back(t);
        return t;
    }

    MatcherRecord m_;
    bool opened_ = false;
    std::vector<ImageRecord*> images_;
    std::vector<EnrollTemplate*> templates_;
};

}  // namespace matchtest

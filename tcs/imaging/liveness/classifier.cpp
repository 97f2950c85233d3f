// Liveness classifier: one hidden layer of 50 logistic units over the range-normalised features,
// a linear output, and the process-wide table set that tests (or a trained build) install.
#include "tcs/imaging/liveness/classifier.h"

#include <cmath>
#include <mutex>
#include <new>

namespace liveness {

namespace {

std::mutex gTablesLock;
std::shared_ptr<const NexClassifierTables> gTables;

bool usable(const NexClassifierTables& t) {
    for (int i = 0; i < NEX_FEATURE_COUNT; ++i) {
        if (!std::isfinite(t.mn[i]) || !std::isfinite(t.mx[i]) || !(t.mx[i] > t.mn[i])) return false;
    }
    for (const auto& row : t.v) {
        for (double weight : row) {
            if (!std::isfinite(weight)) return false;
        }
    }
    for (double weight : t.w) {
        if (!std::isfinite(weight)) return false;
    }
    return true;
}

// A score beyond 32 bits cannot be converted as it stands: clamp it first.
int32_t truncateToInt32(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return INT32_MAX;
    if (x <= -2147483648.0) return INT32_MIN;
    return int32_t(x);
}

}  // namespace

int32_t MLP_Test(const double* x, const NexClassifierTables& t) {
    double z[NEX_FEATURE_COUNT + 1];
    z[0] = 1;
    // Features outside their trained range are not clamped: the network sees them as they are.
    for (int i = 0; i < NEX_FEATURE_COUNT; ++i) z[i + 1] = (x[i] - t.mn[i]) / (t.mx[i] - t.mn[i]);
    double h[NEX_HIDDEN_UNITS + 1];
    h[0] = 1;
    for (int j = 1; j <= NEX_HIDDEN_UNITS; ++j) {
        double s = 0;
        for (int k = 0; k <= NEX_FEATURE_COUNT; ++k) s += t.v[j - 1][k] * z[k];
        h[j] = 1 / (1 + std::exp(-s));
    }
    double o = 0;
    for (int k = 0; k <= NEX_HIDDEN_UNITS; ++k) o += t.w[k] * h[k];
    return truncateToInt32(1000 * o);
}

std::shared_ptr<const NexClassifierTables> installedTables() {
    std::lock_guard<std::mutex> hold(gTablesLock);
    return gTables;
}

}  // namespace liveness

extern "C" uint32_t nexSetClassifierTables(const NexClassifierTables* tables) {
    std::shared_ptr<const NexClassifierTables> copy;
    if (tables != nullptr) {
        if (!liveness::usable(*tables)) return 60;
        try {
            copy = std::make_shared<const NexClassifierTables>(*tables);
        } catch (const std::bad_alloc&) {
            return NEX_RESULT_OUT_OF_MEMORY;
        }
    }
    std::lock_guard<std::mutex> hold(liveness::gTablesLock);
    liveness::gTables = std::move(copy);
    return NEX_RESULT_OK;
}

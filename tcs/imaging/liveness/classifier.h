// Liveness classifier: the perceptron that scores a feature vector, and the one place its trained
// tables come from.
#pragma once

#include "tcs/imaging/liveness/nex.h"

#include <stdint.h>

#include <memory>

namespace liveness {

// 1000 x the network's output truncated toward zero; outputs beyond 32 bits give the nearest end.
int32_t MLP_Test(const double* features, const NexClassifierTables& tables);

// The tables installed by nexSetClassifierTables, or null: a handle keeps the set it was made with.
std::shared_ptr<const NexClassifierTables> installedTables();

}  // namespace liveness

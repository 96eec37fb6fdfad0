// The callables of kelvra_bci.models.kelvra_softmax.learning.
#pragma once

#include "common/function.hpp"

namespace kelvra::learning {

extern const FunctionSpec jax_dtype_from_numpy;
extern const FunctionSpec pg_expected_omega;
extern const FunctionSpec pg_binary_update;
extern const FunctionSpec build_logits;
extern const FunctionSpec kelvra_softmax_fit;
extern const FunctionSpec kelvra_softmax_update;

}  // namespace kelvra::learning

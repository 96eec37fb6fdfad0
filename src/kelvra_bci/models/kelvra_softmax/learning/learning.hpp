// The callables of kelvra_bci.models.kelvra_softmax.learning.
#pragma once

#include "common/function.hpp"

namespace kelvra::learning {

extern const FunctionDef jax_dtype_from_numpy;
extern const FunctionDef pg_expected_omega;
extern const FunctionDef pg_binary_update;
extern const FunctionDef build_logits;
extern const FunctionDef kelvra_softmax_fit;
extern const FunctionDef kelvra_softmax_update;

}  // namespace kelvra::learning

// The module-private callables of the learning math that every module
// registers by name: the precision rule and the Polya-Gamma kernels. Loop
// bodies look them up in their module's namespace at call time.
#pragma once

#include "common/function.hpp"

namespace kelvra::learning {

extern const FunctionDef jax_dtype_from_numpy;
extern const FunctionDef pg_expected_omega;
extern const FunctionDef pg_binary_update;

}  // namespace kelvra::learning

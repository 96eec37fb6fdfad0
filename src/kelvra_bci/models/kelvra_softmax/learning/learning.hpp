// The callables of kelvra_bci.models.kelvra_softmax.learning that are its own
// entry points; the kernels it shares with the engine are in core/.
#pragma once

#include "common/function.hpp"
#include "core/kernels.hpp"

namespace kelvra::learning {

extern const FunctionDef build_logits;
extern const FunctionDef kelvra_softmax_fit;
extern const FunctionDef kelvra_softmax_update;

}  // namespace kelvra::learning

// The callables of kelvra_bci.models.kelvra_softmax.inference; what they
// share with the engine is in core/posterior.hpp.
#pragma once

#include "common/function.hpp"
#include "core/posterior.hpp"

namespace kelvra::inference {

extern const FunctionDef kelvra_softmax_predict_proba;
extern const FunctionDef kelvra_softmax_predict;
extern const FunctionDef kelvra_softmax_predict_samples;

}  // namespace kelvra::inference

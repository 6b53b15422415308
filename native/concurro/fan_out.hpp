// The fan-out: Pcall._build_arguments, one argument set per instance.
#pragma once

#include "common/function.hpp"

namespace orvex::concurro {

extern const FunctionDef kBuildArguments;

// Takes itertools.repeat's type, which the fan-out recognises as a plain iterator; once
// per module exec.
int init_fan_out() noexcept;

}  // namespace orvex::concurro

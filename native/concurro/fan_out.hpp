// The fan-out: Pcall._build_arguments, one argument set per instance.
#pragma once

#include "common/function.hpp"

namespace orvex::concurro {

extern const FunctionDef kBuildArguments;

}  // namespace orvex::concurro

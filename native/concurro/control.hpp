// Process control and introspection: Pcall.pids, livings, terminate and kill.
#pragma once

#include "common/function.hpp"

namespace orvex::concurro {

extern const FunctionDef kPids;
extern const FunctionDef kLivings;
extern const FunctionDef kTerminate;
extern const FunctionDef kKill;

}  // namespace orvex::concurro

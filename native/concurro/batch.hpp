// A batch's life: Pcall.__init__, start, join and the classmethod pcall.
#pragma once

#include "common/function.hpp"

namespace orvex::concurro {

extern const FunctionDef kInit;
extern const FunctionDef kStart;
extern const FunctionDef kJoin;
extern const FunctionDef kPcall;

}  // namespace orvex::concurro

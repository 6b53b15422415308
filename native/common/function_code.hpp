// The code objects of the native functions: their signature, where readers of source find
// them, and a body that hands a copy over to the native function.
#pragma once

#include "common/function.hpp"

namespace orvex {

// A code object with fdef's parameters. Its file is the module's .pyi stub beside the
// extension, its first line the def there (a pseudo-file when the stub or the def is
// missing). Its body, run by a function that a tool rebuilt from it, calls the native
// function found by module and qualified name with the same arguments.
Ref make_code(const FunctionDef& fdef, PyObject* module_name, PyObject* module_file) noexcept;

}  // namespace orvex

// orvex.async_.synchronize: the module definition and its import steps.
#include "common/module_setup.hpp"
#include "synchronize/state.hpp"
#include "synchronize/lockable.hpp"
#include "synchronize/lockable_meta.hpp"
#include "synchronize/locked.hpp"

namespace orvex::synchronize {
namespace {

ModuleSetup g_setup = {"synchronize", nullptr, -1, nullptr};

int body(PyObject* module) noexcept {
    if (init_state() < 0) return -1;
    if (bind(module, "inspect", import_module(module, "inspect")) < 0 ||
        bind(module, "logging", import_module(module, "logging")) < 0 ||
        bind(module, "functools", import_module(module, "functools")) < 0 ||
        bind(module, "multiprocessing", fork_context()) < 0)
        return -1;
    if (bind(module, "logger", module_logger(module)) < 0) return -1;
    if (add_lockable(module) < 0 || add_locked(module) < 0) return -1;
    return add_lockable_meta(module);
}

using Module = NativeModule<g_setup, body>;

}  // namespace
}  // namespace orvex::synchronize

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_synchronize(void) {
    return orvex::synchronize::Module::init();
}

#include "synchronize/state.hpp"

namespace orvex::synchronize {
namespace detail {
State g_state;
}  // namespace detail

namespace {

int init_names(Names& names) noexcept {
    ORVEX_SYNCHRONIZE_NAMES(ORVEX_NAME_INTERN)
    names.kw_block_timeout = PyTuple_Pack(2, names.block, names.timeout);
    if (!names.kw_block_timeout) return -1;
    names.kw_block = PyTuple_Pack(1, names.block);
    return names.kw_block ? 0 : -1;
}

}  // namespace

int init_state() noexcept {
    State& s = detail::g_state;
    if (s.pending_locks) return 0;
    if (init_names(s.names) < 0) return -1;
    s.wait_format = PyUnicode_InternFromString("Waiting for lock on %s");
    if (!s.wait_format) return -1;
    s.pending_locks = PyDict_New();
    return s.pending_locks ? 0 : -1;
}

}  // namespace orvex::synchronize

#include "synchronize/state.hpp"

namespace orvex::synchronize {
namespace detail {
Names g_names;
}  // namespace detail

int init_state() noexcept {
    Names& names = detail::g_names;
    if (names.kw_block) return 0;
    ORVEX_SYNCHRONIZE_NAMES(ORVEX_NAME_INTERN)
    names.kw_block_timeout = PyTuple_Pack(2, names.block, names.timeout);
    if (!names.kw_block_timeout) return -1;
    names.kw_block = PyTuple_Pack(1, names.block);
    return names.kw_block ? 0 : -1;
}

}  // namespace orvex::synchronize

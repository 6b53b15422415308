#include "common/names.hpp"

namespace orvex {
namespace detail {
Names g_names;
}  // namespace detail

namespace {
using detail::g_names;
bool g_ready = false;
}  // namespace

int init_names() noexcept {
    if (g_ready) return 0;
#define ORVEX_NAME_INIT(n)                               \
    if (!g_names.n) {                                    \
        g_names.n = PyUnicode_InternFromString(#n);      \
        if (!g_names.n) return -1;                       \
    }
    ORVEX_NAMES(ORVEX_NAME_INIT)
#undef ORVEX_NAME_INIT
    g_names.kw_block_timeout = PyTuple_Pack(2, g_names.block, g_names.timeout);
    g_names.kw_block = PyTuple_Pack(1, g_names.block);
    g_names.kw_index_queue = PyTuple_Pack(2, g_names.index, g_names.queue);
    if (!g_names.kw_block_timeout || !g_names.kw_block || !g_names.kw_index_queue) return -1;
    g_ready = true;
    return 0;
}

}  // namespace orvex

#include "common/names.hpp"

namespace orvex {
namespace detail {
Names g_names;
}  // namespace detail

int init_names() noexcept {
    Names& names = detail::g_names;
    ORVEX_CORE_NAMES(ORVEX_NAME_INTERN)
    return 0;
}

}  // namespace orvex

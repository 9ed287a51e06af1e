#include "console_log.h"

namespace hv {

std::mutex& console_mutex() {
    static std::mutex m;
    return m;
}

}  // namespace hv

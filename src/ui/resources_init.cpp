#include "resources_init.h"

#include <QtGlobal>
#include <mutex>

// Q_INIT_RESOURCE must be expanded outside any namespace.
static void register_resources() { Q_INIT_RESOURCE(resources); }

void hv_init_resources() {
    static std::once_flag once;
    std::call_once(once, register_resources);
}

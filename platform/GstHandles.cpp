#include "GstHandles.h"

#include <mutex>

namespace platform::gst {

void ensureInitialised() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { gst_init(nullptr, nullptr); });
}

}  // namespace platform::gst

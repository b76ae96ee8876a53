#include "GstHandles.h"

#include <mutex>

namespace camera::gst {

void ensureInitialised() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { gst_init(nullptr, nullptr); });
}

}  // namespace camera::gst

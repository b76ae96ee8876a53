#include "DetachedWork.h"

namespace platform {

std::atomic<int>& detachedWorkRunning() {
    static std::atomic<int> running{0};
    return running;
}

}  // namespace platform

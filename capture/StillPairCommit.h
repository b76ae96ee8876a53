#pragma once

#include <QString>
#include <array>
#include <atomic>

namespace capture {

struct StillPairPaths {
    std::array<QString, 2> temporaries;
    std::array<QString, 2> finals;
};

// Renames both temporaries into their final names, or leaves both earlier pictures as they were;
// then syncs the folder. Throws platform::FileAccessError.
void commitStillPair(const StillPairPaths& paths, const std::atomic<bool>& abandoned);

}  // namespace capture

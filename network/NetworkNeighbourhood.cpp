#include "NetworkNeighbourhood.h"

#include <algorithm>

namespace network {

namespace {

QStringView withoutLocalDomain(QStringView name) {
    QStringView bare = name;
    if (bare.endsWith(QLatin1Char('.'))) {
        bare.chop(1);
    }
    if (bare.endsWith(QLatin1String(".local"), Qt::CaseInsensitive)) {
        bare.chop(6);
    }
    return bare;
}

}  // namespace

NetworkNeighbourhood NetworkNeighbourhood::fromMounts(const std::vector<NetworkMount>& mounts) {
    NetworkNeighbourhood neighbourhood;
    for (const NetworkMount& mount : mounts) {
        neighbourhood.addMount(mount);
    }
    return neighbourhood;
}

bool NetworkNeighbourhood::sameComputer(QStringView a, QStringView b) {
    return withoutLocalDomain(a).compare(withoutLocalDomain(b), Qt::CaseInsensitive) == 0;
}

const NetworkComputer* NetworkNeighbourhood::findComputer(QStringView name) const {
    const auto found = std::find_if(computers_.begin(), computers_.end(),
                                    [name](const auto& c) { return sameComputer(c.name, name); });
    return found == computers_.end() ? nullptr : &*found;
}

bool NetworkNeighbourhood::addComputer(const QString& name) {
    if (name.isEmpty() || findComputer(name) != nullptr) {
        return false;
    }
    computers_.push_back({name, {}});
    return true;
}

void NetworkNeighbourhood::addMount(const NetworkMount& mount) {
    if (mount.computer.isEmpty()) {
        return;
    }
    NetworkComputer& computer = computerNamed(mount.computer);
    const NetworkShare share{mount.share, mount.mountPoint};
    if (std::find(computer.shares.begin(), computer.shares.end(), share) == computer.shares.end()) {
        computer.shares.push_back(share);
    }
}

NetworkComputer& NetworkNeighbourhood::computerNamed(const QString& name) {
    const auto found = std::find_if(computers_.begin(), computers_.end(),
                                    [&name](const auto& c) { return sameComputer(c.name, name); });
    if (found != computers_.end()) {
        return *found;
    }
    return computers_.emplace_back(NetworkComputer{name, {}});
}

}  // namespace network

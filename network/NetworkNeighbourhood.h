#pragma once

#include <QString>
#include <QStringView>
#include <vector>

#include "MountTable.h"

namespace network {

struct NetworkShare {
    QString name;
    QString mountPoint;

    friend bool operator==(const NetworkShare&, const NetworkShare&) = default;
};

struct NetworkComputer {
    QString name;
    std::vector<NetworkShare> shares;

    friend bool operator==(const NetworkComputer&, const NetworkComputer&) = default;
};

// The computers this machine knows of and the shares of theirs it has mounted, in the order they
// were first heard of. A computer is named once however its name is spelt: letter case is ignored
// and "host.local", the name an mDNS announcement gives, is the same computer as "host".
class NetworkNeighbourhood {
public:
    static NetworkNeighbourhood fromMounts(const std::vector<NetworkMount>& mounts);

    // True when the computer was not known yet.
    bool addComputer(const QString& name);
    // The same share mounted at the same place is listed once.
    void addMount(const NetworkMount& mount);

    const std::vector<NetworkComputer>& computers() const { return computers_; }
    const NetworkComputer* findComputer(QStringView name) const;

    static bool sameComputer(QStringView a, QStringView b);

private:
    NetworkComputer& computerNamed(const QString& name);

    std::vector<NetworkComputer> computers_;
};

}  // namespace network

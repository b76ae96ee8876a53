#include "SoftwareSettings.h"

namespace settings {

namespace {

std::string quoted(const QString& key) {
    return "\"" + key.toStdString() + "\"";
}

}  // namespace

void SoftwareSettings::add(Record record, const QString& key) {
    const QString folded = foldKey(key);
    if (index_.contains(folded)) {
        throw SettingsTableError("the settings table already holds the key " + quoted(key));
    }
    index_.insert(folded, count());
    records_.push_back({key, std::move(record)});
}

void SoftwareSettings::remove(int position) {
    if (position < 1 || position > count()) {
        throw SettingsTableError("settings table position " + std::to_string(position) +
                                 " is outside 1.." + std::to_string(count()));
    }
    records_.erase(records_.begin() + (position - 1));
    rebuildIndex();
}

void SoftwareSettings::clear() {
    records_.clear();
    index_.clear();
}

SoftwareSettings::Record SoftwareSettings::item(const QString& key) const {
    const auto found = index_.constFind(foldKey(key));
    if (found == index_.constEnd()) {
        throw SettingsTableError("the settings table holds no key " + quoted(key));
    }
    return records_[static_cast<std::size_t>(*found)].record;
}

SoftwareSettings::Record SoftwareSettings::item(int position) const {
    if (position < 1 || position > count()) {
        throw SettingsTableError("settings table position " + std::to_string(position) +
                                 " is outside 1.." + std::to_string(count()));
    }
    return records_[static_cast<std::size_t>(position - 1)].record;
}

void SoftwareSettings::rebuildIndex() {
    index_.clear();
    for (int i = 0; i < count(); ++i) {
        index_.insert(foldKey(records_[static_cast<std::size_t>(i)].key), i);
    }
}

}  // namespace settings

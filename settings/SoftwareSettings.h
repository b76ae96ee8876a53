#pragma once

#include <QHash>
#include <QString>
#include <memory>
#include <stdexcept>
#include <vector>

#include "Settings.h"

namespace settings {

// Raised for a missing key, a key added twice, or a position outside 1..count.
class SettingsTableError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Keyed, ordered table of settings records. Keys are unique regardless of letter case; positions
// run from 1 to count in the order of adding.
class SoftwareSettings {
public:
    using Record = std::shared_ptr<Settings>;

    int count() const { return static_cast<int>(records_.size()); }
    void add(Record record, const QString& key);
    void remove(int position);
    void clear();
    bool contains(const QString& key) const { return index_.contains(foldKey(key)); }
    Record item(const QString& key) const;
    Record item(int position) const;

    // The value of the setting under the key, exactly as stored; throws when the key is missing.
    QString valueOf(const QString& key) const { return item(key)->value().toString(); }

private:
    static QString foldKey(const QString& key) { return key.toCaseFolded(); }
    void rebuildIndex();

    struct Entry {
        QString key;
        Record record;
    };
    std::vector<Entry> records_;
    QHash<QString, int> index_;  // folded key -> 0-based position
};

}  // namespace settings

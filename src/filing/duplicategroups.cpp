#include "filing/duplicategroups.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include <QHash>

#include "filing/perceptualhash.h"

namespace marlox::DuplicateGroups {

namespace {

constexpr int bandCount = 5;
constexpr int bandBits = 13;
static_assert(bandCount * bandBits >= 64 && bandCount > PerceptualHash::similarDistance);

// Union-find over entry positions.
struct Components
{
    std::vector<int> parent;

    explicit Components(int size) : parent(size_t(size))
    {
        std::iota(parent.begin(), parent.end(), 0);
    }
    int root(int i)
    {
        while (parent[size_t(i)] != i) {
            parent[size_t(i)] = parent[size_t(parent[size_t(i)])];
            i = parent[size_t(i)];
        }
        return i;
    }
    void join(int a, int b) { parent[size_t(root(a))] = root(b); }
};

quint64 band(quint64 hash, int index)
{
    const quint64 value = (hash >> (index * bandBits)) & ((quint64(1) << bandBits) - 1);
    // The band's number in the top bits keeps equal values of different bands apart.
    return value | (quint64(index) << 60);
}

} // namespace

Groups group(const QList<Entry> &entries)
{
    Groups groups;
    QHash<QString, QList<qint64>> byContent;
    for (const Entry &entry : entries) {
        if (!entry.contentHash.isEmpty())
            byContent[entry.contentHash].append(entry.id);
    }
    // In input order: the first member of each group decides its place.
    QHash<QString, bool> taken;
    for (const Entry &entry : entries) {
        const auto found = byContent.constFind(entry.contentHash);
        if (found == byContent.cend() || found->size() < 2 || taken.contains(entry.contentHash))
            continue;
        taken.insert(entry.contentHash, true);
        groups.identical.append(*found);
    }

    // Equal perceptual hashes are one node, so a bucket holds distinct values
    // only and a screen of identical captures costs no pairs.
    using Value = std::pair<quint64, QByteArray>;
    QHash<Value, int> nodeOf;
    QList<Value> values;
    const auto valueOf = [](const Entry &entry) {
        return Value { *entry.perceptualHash, entry.perceptualDetail };
    };
    for (const Entry &entry : entries) {
        if (entry.perceptualHash && !nodeOf.contains(valueOf(entry))) {
            nodeOf.insert(valueOf(entry), int(values.size()));
            values.append(valueOf(entry));
        }
    }
    Components components(int(values.size()));
    QHash<quint64, QList<int>> buckets;
    for (int node = 0; node < values.size(); ++node) {
        for (int b = 0; b < bandCount; ++b)
            buckets[band(values.at(node).first, b)].append(node);
    }
    for (const QList<int> &bucket : std::as_const(buckets)) {
        for (qsizetype i = 0; i < bucket.size(); ++i) {
            const Value &a = values.at(bucket.at(i));
            for (qsizetype j = i + 1; j < bucket.size(); ++j) {
                const Value &b = values.at(bucket.at(j));
                if (PerceptualHash::similar(a.first, a.second, b.first, b.second))
                    components.join(bucket.at(i), bucket.at(j));
            }
        }
    }

    QHash<int, QList<int>> members; // root -> entry positions
    QList<int> order;
    for (int i = 0; i < entries.size(); ++i) {
        const Entry &entry = entries.at(i);
        if (!entry.perceptualHash)
            continue;
        const int root = components.root(nodeOf.value(valueOf(entry)));
        auto &list = members[root];
        if (list.isEmpty())
            order.append(root);
        list.append(i);
    }
    for (const int root : std::as_const(order)) {
        const QList<int> &list = members.value(root);
        if (list.size() < 2)
            continue;
        // All the same bytes: already an identical group, nothing more to say.
        const QString &first = entries.at(list.first()).contentHash;
        const bool allSame = !first.isEmpty() && std::all_of(list.begin(), list.end(), [&](int i) {
            return entries.at(i).contentHash == first;
        });
        if (allSame)
            continue;
        QList<qint64> ids;
        ids.reserve(list.size());
        for (const int i : list)
            ids.append(entries.at(i).id);
        groups.similar.append(ids);
    }
    return groups;
}

} // namespace marlox::DuplicateGroups

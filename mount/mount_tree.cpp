#include "mount/mount_tree.h"

#include <bit>
#include <limits>
#include <stdexcept>

#include "app/entry_path.h"

namespace qzb::mount {
namespace {

std::size_t hashOf(Tree::NodeId parent, std::string_view name) {
    return std::hash<std::string_view>()(name) ^ (std::size_t{parent} * 0x9E3779B97F4A7C15ull);
}

} // namespace

Tree::Tree(std::size_t entryCount,
           const std::function<std::optional<std::string>(std::size_t)>& fileName, NameRules rules,
           const std::function<void(std::size_t, LeftOut)>& leftOut)
    : slots_(std::bit_ceil(2 * (entryCount + 8)), None) {
    // One node per entry, most often; the directories come on top. The slots for them all are
    // made at once: growing rehashes every node, a random read of its name each.
    nodes_.reserve(entryCount + 1);
    nodes_.push_back({None, None, None, NoEntry, 0, 0});
    for (std::size_t i = 0; i < entryCount; ++i) {
        const std::optional<std::string> name = fileName(i);
        const std::optional<EntryPath> path = name ? entryPath(*name, rules) : std::nullopt;
        if (!path) {
            leftOut(i, LeftOut::Refused);
            continue;
        }
        NodeId directory = Root;
        const std::string_view directories = path->directory;
        for (std::size_t start = 0; start < directories.size();) {
            const std::size_t end = std::min(directories.find('/', start), directories.size());
            const std::string_view element = directories.substr(start, end - start);
            start = end + 1;
            if (const std::optional<NodeId> found = child(directory, element)) {
                if (!isDirectory(*found)) {
                    // Extraction would stop here; the directory wins, so that no entry below
                    // it is hidden by one file.
                    leftOut(nodes_[*found].entry, LeftOut::UnderDirectory);
                    nodes_[*found].entry = NoEntry;
                }
                directory = *found;
            } else {
                directory = add(directory, element, NoEntry);
            }
        }
        if (!path->hasFileName) {
            continue;
        }
        const std::string_view last =
            std::string_view(path->path).substr(path->path.rfind('/') + 1);
        if (!child(directory, last)) {
            add(directory, last, static_cast<std::uint32_t>(i));
        }
    }
}

std::size_t Tree::slotOf(NodeId parent, std::string_view name) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hashOf(parent, name) & mask;; slot = (slot + 1) & mask) {
        const NodeId id = slots_[slot];
        if (id == None || (nodes_[id].parent == parent && this->name(id) == name)) {
            return slot;
        }
    }
}

std::optional<Tree::NodeId> Tree::child(NodeId parent, std::string_view name) const {
    return link(slots_[slotOf(parent, name)]);
}

std::optional<Tree::NodeId> Tree::find(std::string_view path) const {
    NodeId id = Root;
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view element = path.substr(start, end - start);
        start = end + 1;
        if (element.empty()) {
            continue;
        }
        const std::optional<NodeId> found = isDirectory(id) ? child(id, element) : std::nullopt;
        if (!found) {
            return std::nullopt;
        }
        id = *found;
    }
    return id;
}

Tree::NodeId Tree::add(NodeId parent, std::string_view name, std::uint32_t entry) {
    // Entries are 32-bit counted, their directories at most one per name element; ids stay
    // below None.
    if (nodes_.size() >= std::numeric_limits<NodeId>::max() - 1) {
        throw std::length_error("too many files and directories for one mount");
    }
    if (2 * (nodes_.size() + 1) > slots_.size()) {
        grow();
    }
    const NodeId id = static_cast<NodeId>(nodes_.size());
    nodes_.push_back({parent, None, nodes_[parent].firstChild, entry, names_.size(),
                      static_cast<std::uint32_t>(name.size())});
    nodes_[parent].firstChild = id;
    names_.append(name);
    slots_[slotOf(parent, name)] = id;
    return id;
}

void Tree::grow() {
    slots_.assign(2 * slots_.size(), None);
    for (NodeId id = 1; id < nodes_.size(); ++id) {
        slots_[slotOf(nodes_[id].parent, name(id))] = id;
    }
}

} // namespace qzb::mount

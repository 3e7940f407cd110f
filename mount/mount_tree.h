#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/name_rules.h"

// The directory tree a mount shows, made once from the entries' names: the tree that extracting
// every entry into an empty directory makes.
namespace qzb::mount {

// Why an entry is not in the tree, for its one line on standard error.
enum class LeftOut {
    // Its name is empty, absolute, has a ".." element or is not stored as given.
    Refused,
    // A later entry needs a directory where it stands; the directory is kept.
    UnderDirectory,
};

class Tree {
public:
    using NodeId = std::uint32_t;
    static constexpr NodeId Root = 0;
    static constexpr std::uint32_t NoEntry = ~std::uint32_t{0};

    // `fileName(i)`: entry i's name as the file layer takes names, nothing for one it cannot
    // take. `leftOut` is told once of each entry that names a file and is not in the tree for a
    // reason a user should hear; a later entry at a path taken is left out silently, as
    // extraction without overwriting skips it.
    Tree(std::size_t entryCount,
         const std::function<std::optional<std::string>(std::size_t)>& fileName, NameRules rules,
         const std::function<void(std::size_t, LeftOut)>& leftOut);

    // The child of directory `parent` called `name`.
    std::optional<NodeId> child(NodeId parent, std::string_view name) const;
    // The node at a path of '/'-separated names below the root ("/" and "" are the root).
    std::optional<NodeId> find(std::string_view path) const;

    bool isDirectory(NodeId id) const { return nodes_[id].entry == NoEntry; }
    // The entry a file shows.
    std::uint32_t entry(NodeId id) const { return nodes_[id].entry; }
    std::string_view name(NodeId id) const {
        return std::string_view(names_).substr(nodes_[id].nameAt, nodes_[id].nameLength);
    }
    // A directory's first child and a node's next sibling, in no particular order.
    std::optional<NodeId> firstChild(NodeId id) const { return link(nodes_[id].firstChild); }
    std::optional<NodeId> nextSibling(NodeId id) const { return link(nodes_[id].nextSibling); }
    std::size_t size() const { return nodes_.size(); }

private:
    static constexpr NodeId None = ~NodeId{0};
    struct Node {
        NodeId parent;
        NodeId firstChild;
        NodeId nextSibling;
        std::uint32_t entry;
        std::uint64_t nameAt;
        std::uint32_t nameLength;
    };

    static std::optional<NodeId> link(NodeId id) {
        return id == None ? std::nullopt : std::optional<NodeId>(id);
    }
    std::size_t slotOf(NodeId parent, std::string_view name) const;
    NodeId add(NodeId parent, std::string_view name, std::uint32_t entry);
    void grow();

    std::vector<Node> nodes_;
    // Every name but the root's, one after the other.
    std::string names_;
    // Open addressing by (parent, name): node ids, None for a free slot; never more than half
    // full.
    std::vector<NodeId> slots_;
};

} // namespace qzb::mount

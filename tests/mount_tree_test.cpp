#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "mount/mount_tree.h"

namespace {

using qzb::mount::LeftOut;
using qzb::mount::Tree;

// Every node below `id` as "path" for a directory ("path/") and "path=entry" for a file, in the
// order of a depth-first walk with children sorted.
void listTree(const Tree& tree, Tree::NodeId id, const std::string& prefix,
              std::vector<std::string>& out) {
    std::vector<std::string> children;
    for (std::optional<Tree::NodeId> child = tree.firstChild(id); child;
         child = tree.nextSibling(*child)) {
        children.emplace_back(tree.name(*child));
    }
    std::sort(children.begin(), children.end());
    for (const std::string& name : children) {
        const Tree::NodeId child = *tree.child(id, name);
        const std::string path = prefix + name;
        if (tree.isDirectory(child)) {
            out.push_back(path + "/");
            listTree(tree, child, path + "/", out);
        } else {
            out.push_back(path + "=" + std::to_string(tree.entry(child)));
        }
        EXPECT_EQ(tree.find(path), child) << path;
    }
}

struct TreeCase {
    const char* what;
    std::vector<std::optional<std::string>> names;
    std::vector<std::string> tree;
    // "index refused" or "index under-directory", in the order told.
    std::vector<std::string> leftOut;
    qzb::NameRules rules = qzb::NameRules::Posix;
};

TEST(MountTree, IsTheTreeExtractionMakes) {
    const std::vector<TreeCase> cases = {
        {"both separators, empty and . elements reach one directory",
         {"a/b.txt", "a\\c.txt", "./a//d.txt", "top"},
         {"a/", "a/b.txt=0", "a/c.txt=1", "a/d.txt=2", "top=3"},
         {}},
        {"the first entry at a path wins, silently",
         {"x", "x", "d/y", "d\\y"},
         {"d/", "d/y=2", "x=0"},
         {}},
        {"a file where a later entry needs a directory gives way",
         {"c", "c/i"},
         {"c/", "c/i=1"},
         {"0 under-directory"}},
        {"a file where a directory stands is left out", {"c/i", "c"}, {"c/", "c/i=0"}, {}},
        {"refused names are left out and told",
         {"../x", "/y", "", "a/../b", "C:z", std::nullopt, "ok"},
         {"ok=6"},
         {"0 refused", "1 refused", "2 refused", "3 refused", "4 refused", "5 refused"}},
        {"a name ending in a separator or . makes directories only",
         {"d/e/", "f/.", "f/g"},
         {"d/", "d/e/", "f/", "f/g=2"},
         {}},
        {"Windows rules refuse what Windows stores elsewhere",
         {"con.txt", "a/b.", "fine.txt"},
         {"fine.txt=2"},
         {"0 refused", "1 refused"},
         qzb::NameRules::Windows},
    };
    for (const TreeCase& c : cases) {
        std::vector<std::string> leftOut;
        const Tree tree(
            c.names.size(), [&](std::size_t i) { return c.names[i]; }, c.rules,
            [&](std::size_t i, LeftOut why) {
                leftOut.push_back(std::to_string(i) +
                                  (why == LeftOut::Refused ? " refused" : " under-directory"));
            });
        std::vector<std::string> listed;
        listTree(tree, Tree::Root, "", listed);
        EXPECT_EQ(listed, c.tree) << c.what;
        EXPECT_EQ(leftOut, c.leftOut) << c.what;
        EXPECT_FALSE(tree.find("/missing")) << c.what;
        EXPECT_EQ(tree.find("/"), Tree::Root) << c.what;
    }
}

TEST(MountTree, FindsEveryOneOfManyEntries) {
    constexpr std::size_t Count = 5000;
    const auto name = [](std::size_t i) {
        std::string path = "d";
        path.append(std::to_string(i % 37)).append("/f").append(std::to_string(i));
        return path;
    };
    const Tree tree(
        Count, [&](std::size_t i) { return std::optional<std::string>(name(i)); },
        qzb::NameRules::Posix, [](std::size_t, LeftOut) { FAIL(); });
    EXPECT_EQ(tree.size(), 1 + 37 + Count);
    for (std::size_t i = 0; i < Count; ++i) {
        const std::optional<Tree::NodeId> id = tree.find(name(i));
        ASSERT_TRUE(id) << name(i);
        EXPECT_EQ(tree.entry(*id), i);
    }
    // A file has no children, though a path may name one below it.
    EXPECT_FALSE(tree.find(name(0) + "/below"));
}

} // namespace

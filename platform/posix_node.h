#pragma once

#include <cerrno>
#include <system_error>

#include "platform/file_system.h"
#include "platform/unique_descriptor.h"

// What the POSIX systems' primitives share: a node is one descriptor.
namespace qzb::platform {

struct Node::State {
    UniqueDescriptor fd;
};

inline std::error_code lastError() {
    return {errno, std::generic_category()};
}

inline int descriptor(const Node& node) {
    return node.state().fd.get();
}

// Takes a descriptor that a call answered, or the call's error.
inline std::error_code adopt(int fd, Node& node) {
    if (fd < 0) {
        return lastError();
    }
    node = Node(std::make_unique<Node::State>(Node::State{UniqueDescriptor(fd)}));
    return {};
}

inline std::error_code result(int status) {
    return status == 0 ? std::error_code() : lastError();
}

} // namespace qzb::platform

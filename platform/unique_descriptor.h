#pragma once

#include <unistd.h>

#include "platform/unique_resource.h"

namespace qzb {

struct DescriptorTraits {
    using Value = int;
    static constexpr int empty() { return -1; }
    static bool close(int fd) { return ::close(fd) == 0; }
};

// A POSIX file descriptor, closed once.
using UniqueDescriptor = UniqueResource<DescriptorTraits>;

} // namespace qzb

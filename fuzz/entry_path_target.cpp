// Entry names on arbitrary bytes: a name that is accepted must stay below the target directory on
// either platform, and its parts must describe the same path. The Windows rules only refuse more,
// and leave no character that Windows would store otherwise.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/entry_path.h"
#include "fuzz/fuzz_support.h"

namespace {

bool staysBelow(const std::string& relative) {
    const std::filesystem::path joined =
        (std::filesystem::path("target") / relative).lexically_normal();
    return *joined.begin() == "target";
}

// The elements in front of the last '/' that name a directory, '/' between them.
std::string directoriesOf(const std::string& path) {
    std::string directories;
    std::size_t start = 0;
    for (std::size_t end = path.find('/'); end != std::string::npos; end = path.find('/', start)) {
        const std::string element = path.substr(start, end - start);
        if (!element.empty() && element != ".") {
            directories += (directories.empty() ? "" : "/") + element;
        }
        start = end + 1;
    }
    return directories;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    const std::optional<qzb::EntryPath> result = qzb::entryPath(name);
    if (!result) {
        return 0;
    }
    const std::string& path = result->path;
    QZB_FUZZ_CHECK(path.size() == name.size());
    QZB_FUZZ_CHECK(path.find('\\') == std::string::npos);
    QZB_FUZZ_CHECK(path.find('\0') == std::string::npos);
    QZB_FUZZ_CHECK(path.front() != '/');
    // On Windows "C:x" is relative to another drive's working directory.
    const char drive = static_cast<char>(path[0] | 0x20);
    QZB_FUZZ_CHECK(!(path.size() >= 2 && path[1] == ':' && drive >= 'a' && drive <= 'z'));
    QZB_FUZZ_CHECK(staysBelow(path));

    const std::size_t last = path.rfind('/');
    QZB_FUZZ_CHECK(result->directory == directoriesOf(path));
    const std::string_view fileName = std::string_view(path).substr(last + 1);
    QZB_FUZZ_CHECK(result->hasFileName == (!fileName.empty() && fileName != "."));
    for (std::size_t i = 0; i < path.size(); ++i) {
        QZB_FUZZ_CHECK(path[i] == (name[i] == '\\' ? '/' : name[i]));
    }

    const std::optional<qzb::EntryPath> windows = qzb::entryPath(name, qzb::NameRules::Windows);
    if (windows) {
        QZB_FUZZ_CHECK(windows->path == path);
        for (const char c : path) {
            QZB_FUZZ_CHECK(static_cast<unsigned char>(c) >= 32 &&
                           std::string_view("<>:\"|?*").find(c) == std::string_view::npos);
        }
        QZB_FUZZ_CHECK(path.back() != '.' || path.ends_with("/.") || path == ".");
    }
    return 0;
}

#include "cli/pattern.h"

#include <vector>

namespace qzb::cli {
namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

bool sameCharacter(char p, char n) {
    return p == n || (isSeparator(p) && isSeparator(n));
}

// known[p * (names + 1) + n]: 0 not yet known, 1 no match, 2 match of pattern[p..] and name[n..].
// Remembered so that patterns with many stars take time in proportion to their length times the
// name's, never exponential.
class Matcher {
public:
    Matcher(std::string_view pattern, std::string_view name)
        : pattern_(pattern), name_(name), known_((pattern.size() + 1) * (name.size() + 1), 0) {}

    bool matches(std::size_t p, std::size_t n) {
        char& known = known_[p * (name_.size() + 1) + n];
        if (known == 0) {
            known = compute(p, n) ? 2 : 1;
        }
        return known == 2;
    }

private:
    bool compute(std::size_t p, std::size_t n) {
        if (p == pattern_.size()) {
            return n == name_.size();
        }
        const char c = pattern_[p];
        if (c == '*' && p + 1 < pattern_.size() && pattern_[p + 1] == '*') {
            const std::size_t rest = p + 2;
            if (rest < pattern_.size() && isSeparator(pattern_[rest]) && matches(rest + 1, n)) {
                return true;
            }
            for (std::size_t i = n; i <= name_.size(); ++i) {
                if (matches(rest, i)) {
                    return true;
                }
            }
            return false;
        }
        if (c == '*') {
            for (std::size_t i = n;; ++i) {
                if (matches(p + 1, i)) {
                    return true;
                }
                if (i == name_.size() || isSeparator(name_[i])) {
                    return false;
                }
            }
        }
        if (n == name_.size()) {
            return false;
        }
        if (c == '?') {
            return !isSeparator(name_[n]) && matches(p + 1, n + 1);
        }
        return sameCharacter(c, name_[n]) && matches(p + 1, n + 1);
    }

    std::string_view pattern_;
    std::string_view name_;
    std::vector<char> known_;
};

} // namespace

bool matchesPattern(std::string_view pattern, std::string_view name) {
    return Matcher(pattern, name).matches(0, 0);
}

} // namespace qzb::cli

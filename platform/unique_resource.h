#pragma once

#include <utility>

namespace qzb {

// Owns one system resource and releases it exactly once: on reset() or on destruction. `Traits`
// gives the type, the value that holds nothing and how to close.
template <typename Traits> class UniqueResource {
public:
    using Value = typename Traits::Value;

    UniqueResource() = default;
    explicit UniqueResource(Value value) : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueResource() { reset(); }

    Value get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::empty(); }
    Value release() { return std::exchange(value_, Traits::empty()); }
    // Closes what is held and takes `value`; the result of the close, true when nothing was held.
    bool reset(Value value = Traits::empty()) {
        const Value old = std::exchange(value_, value);
        return old == Traits::empty() || Traits::close(old);
    }

private:
    Value value_ = Traits::empty();
};

} // namespace qzb

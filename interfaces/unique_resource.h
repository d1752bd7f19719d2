// The one owner type for handles of every kind; each kind is an alias naming its
// release function and the value that means "none". Release happens in the destructor
// alone, so an early return cannot leak. Free of platform headers: the loader, the
// stand-in and the sample framework all use it. Each alias is defined once, where its
// kind belongs: the Windows handles in common/resource_owners.h, POSIX descriptors in
// interfaces/unique_fd.h, OpenSSL's objects in the stand-in's openssl_owners.h,
// Python references in python/corvane/py_ref.h.
#pragma once

#include <utility>

namespace Vexa {

// "None" for pointer-like handles.
template <class T>
struct NullIsEmpty {
    static constexpr T Value() { return T{}; }
};

// Owns one handle of type T, released by Close(handle) unless it is Empty::Value().
template <class T, auto Close, class Empty = NullIsEmpty<T>>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& other) noexcept : value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    T get() const { return value; }
    explicit operator bool() const { return value != Empty::Value(); }

    // Releases what is held and takes `replacement`.
    void reset(T replacement = Empty::Value()) {
        const T old = std::exchange(value, replacement);
        if (old != Empty::Value()) Close(old);
    }
    // Gives up ownership without releasing; the caller now owns the handle.
    [[nodiscard]] T release() { return std::exchange(value, Empty::Value()); }
    // Out parameters. A function that hands out a handle through a T* writes into the
    // owner through put(): it releases what is held first and lends the empty slot, so
    // that a handle held before is neither leaked nor kept beside the new one.
    // addressof() lends the slot as it is, holding whatever it holds, for a function
    // that reads the handle through a pointer (or may leave it as it was); it never
    // releases. The two are apart because a call that only looks must not close what it
    // looks at. There is no operator&: the owner's own address stays what & gives.
    [[nodiscard]] T* put() {
        reset();
        return &value;
    }
    [[nodiscard]] T* addressof() { return &value; }
    [[nodiscard]] const T* addressof() const { return &value; }

private:
    T value = Empty::Value();
};

}  // namespace Vexa

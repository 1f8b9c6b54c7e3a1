#pragma once
// Owned references to interpreter objects, released on every way out.

#include <utility>

#include "bindings/boundary/python.hpp"

namespace velmor {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(object_); }

    // Takes over a new reference (which may be null).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Adds a reference of its own to a borrowed one.
    static OwnedRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace velmor

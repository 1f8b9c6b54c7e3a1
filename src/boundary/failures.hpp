#pragma once
// How failures travel from where they arise to the call guard.
//
// CallError: an ordinary Python exception for the caller, either fetched from
// the interpreter or deferred (a type and a message, made into an exception
// only when raised with the interpreter lock held).
// NativeFailure: an internal failure that reaches Python as PanicException.
// Both are thrown as C++ exceptions and caught by the guard; neither ever
// crosses into the interpreter.

#include <source_location>
#include <string>

#include "boundary/object_ref.hpp"

namespace velmor {

class CallError {
public:
    static CallError deferred(PyObject* type, std::string message);
    static CallError fetched(OwnedRef type, OwnedRef value, OwnedRef traceback);

    // The exception as an object, made now if it was deferred. Needs the lock.
    PyObject* exception();
    // Sets the error as the interpreter's current exception. Needs the lock.
    void raise() &&;

private:
    CallError() = default;
    PyObject* deferred_type_ = nullptr;  // borrowed: a built-in exception type
    std::string message_;
    OwnedRef type_, value_, traceback_;
};

class NativeFailure {
public:
    // Writes a report naming the thread, the place and the message to
    // standard error. Touches nothing of the interpreter: may be thrown with
    // the lock released.
    explicit NativeFailure(std::string message,
                           std::source_location where = std::source_location::current());
    // Continues a PanicException that came back from Python code; its notice
    // and traceback have been written already, so no report is written.
    static NativeFailure resumed(std::string message);

    const std::string& message() const noexcept { return message_; }

private:
    struct Resumed {};
    NativeFailure(Resumed, std::string message) : message_(std::move(message)) {}
    std::string message_;
};

// The failure of an interpreter call that has just reported one. Throws
// NativeFailure instead when the pending exception is a PanicException.
CallError fetch_error();

// For interpreter calls that return a new reference or null with an exception set.
OwnedRef require(PyObject* result);
// For objects this module creates (str, int, list, dict): failing to create
// one is a native failure, the pending exception written out as unraisable.
OwnedRef require_new(PyObject* result);

// "'{type}' object is not an instance of '{target}'", or for None
// "'None' is not an instance of '{target}'".
CallError type_mismatch(PyObject* object, const char* target);

// The __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// The object's str() as UTF-8, lone surrogates replaced; see object_text.cpp.
std::string object_text(PyObject* object);

// Sets PanicException with `message` as its only argument.
void raise_panic(const std::string& message) noexcept;

}  // namespace velmor

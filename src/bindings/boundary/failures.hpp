#pragma once
// How failures travel from where they arise to the call guard.
//
// CallError: an ordinary Python exception for the caller, either fetched from
// the interpreter or deferred (a type and a message, made into an exception
// only when raised with the interpreter lock held).
// NativeFailure: an internal failure that reaches Python as PanicException.
// Both are thrown as C++ exceptions and caught by the guard; neither ever
// crosses into the interpreter.

#include <optional>
#include <string>
#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

#include "bindings/boundary/object_ref.hpp"

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

// Where in the source a failure arose: std::source_location where the
// library has it, the compiler's builtins elsewhere (libstdc++ 12 under
// clang 14 lacks it), with the column unknown where they have none.
struct SourcePlace {
    const char* file = "";
    unsigned line = 0;
    unsigned column = 0;

#if defined(__cpp_lib_source_location)
    static constexpr SourcePlace here(std::source_location where = std::source_location::current()) noexcept {
        return {where.file_name(), static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column())};
    }
#else
    static constexpr SourcePlace here(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) noexcept {
        return {file, line, 0};
    }
#endif
};

class NativeFailure {
public:
    // Writes a report naming the thread, the place and the message to
    // standard error. Touches nothing of the interpreter: may be thrown with
    // the lock released.
    explicit NativeFailure(std::string message, SourcePlace where = SourcePlace::here());
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

// The UTF-8 text of `object` when it is a str that encodes; nothing
// otherwise, the interpreter's error cleared.
std::optional<std::string> utf8_text(PyObject* object);
// The str attribute `name` of `object` as UTF-8; nothing on any failure.
std::optional<std::string> attribute_text(PyObject* object, PyObject* name);

// Sets PanicException with `message` as its only argument.
void raise_panic(const std::string& message) noexcept;

}  // namespace velmor

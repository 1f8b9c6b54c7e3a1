#include "bindings/boundary/failures.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

#include "bindings/boundary/interpreter_singletons.hpp"

namespace velmor {
namespace {

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') return "<unnamed>";
    return name;
}

// Raises `type` with `message` as its only argument and normalises it at
// once, so the exception exists as an instance whose args is (message,).
void raise_with_message(PyObject* type, const std::string& message) {
    OwnedRef text = require_new(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyErr_SetObject(type, text.get());
    PyObject *raised_type, *value, *traceback;
    PyErr_Fetch(&raised_type, &value, &traceback);
    PyErr_NormalizeException(&raised_type, &value, &traceback);
    PyErr_Restore(raised_type, value, traceback);
}

std::string str_or(PyObject* object, const char* fallback) {
    OwnedRef text = OwnedRef::steal(PyObject_Str(object));
    if (!text) PyErr_Clear();
    return utf8_text(text.get()).value_or(fallback);
}

// A PanicException raised by Python code that we called: the native failure
// it stands for goes on, after telling where it came back from.
[[noreturn]] void resume_panic(OwnedRef type, OwnedRef value, OwnedRef traceback) {
    std::string message = str_or(value.get(), "Unwrapped panic from Python code");
    std::fputs("--- A native failure was raised from Python code and is being resumed\n"
               "Python stack trace below:\n",
               stderr);
    std::fflush(stderr);
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    throw NativeFailure::resumed(std::move(message));
}

}  // namespace

CallError CallError::deferred(PyObject* type, std::string message) {
    CallError error;
    error.deferred_type_ = type;
    error.message_ = std::move(message);
    return error;
}

CallError CallError::fetched(OwnedRef type, OwnedRef value, OwnedRef traceback) {
    CallError error;
    error.type_ = std::move(type);
    error.value_ = std::move(value);
    error.traceback_ = std::move(traceback);
    return error;
}

PyObject* CallError::exception() {
    if (deferred_type_ != nullptr) {
        raise_with_message(deferred_type_, message_);
        *this = fetch_error();
    }
    return value_.get();
}

void CallError::raise() && {
    if (deferred_type_ != nullptr) {
        raise_with_message(deferred_type_, message_);
        return;
    }
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

NativeFailure::NativeFailure(std::string message, SourcePlace where) : message_(std::move(message)) {
    std::fprintf(stderr, "\nthread '%s' panicked at %s:%u:%u:\n%s\n", current_thread_name().c_str(), where.file,
                 where.line, where.column, message_.c_str());
    std::fflush(stderr);
}

NativeFailure NativeFailure::resumed(std::string message) { return NativeFailure(Resumed{}, std::move(message)); }

CallError fetch_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return CallError::deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    OwnedRef owned_type = OwnedRef::steal(type), owned_value = OwnedRef::steal(value),
             owned_traceback = OwnedRef::steal(traceback);
    PyObject* panic = panic_exception_type_if_created();
    if (panic != nullptr && PyErr_GivenExceptionMatches(type, panic)) {
        resume_panic(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
    }
    return CallError::fetched(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
}

OwnedRef require(PyObject* result) {
    if (result == nullptr) throw fetch_error();
    return OwnedRef::steal(result);
}

OwnedRef require_new(PyObject* result) {
    if (result == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        throw NativeFailure("failed to create a Python object");
    }
    return OwnedRef::steal(result);
}

std::string type_qualname(PyObject* object) {
    return attribute_text(reinterpret_cast<PyObject*>(Py_TYPE(object)), interned(Name::qualname))
        .value_or("<failed to extract type name>");
}

CallError type_mismatch(PyObject* object, const char* target) {
    if (object == Py_None) {
        return CallError::deferred(PyExc_TypeError, std::string("'None' is not an instance of '") + target + "'");
    }
    return CallError::deferred(PyExc_TypeError,
                               "'" + type_qualname(object) + "' object is not an instance of '" + target + "'");
}

void raise_panic(const std::string& message) noexcept {
    try {
        raise_with_message(panic_exception_type(), message);
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::fflush(stderr);
        std::abort();
    }
}

}  // namespace velmor

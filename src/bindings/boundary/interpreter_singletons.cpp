#include "bindings/boundary/interpreter_singletons.hpp"

#include <array>
#include <atomic>
#include <mutex>

#include "bindings/boundary/failures.hpp"
#include "bindings/boundary/lock.hpp"

namespace velmor {
namespace {

// A value made at most once. A thread that finds another one creating it
// waits for the creator without holding the interpreter lock, because the
// creator may release the lock itself (an import does).
class OnceValue {
public:
    PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

    template <class Make>
    PyObject* get(Make&& make) {
        if (PyObject* value = peek()) return value;
        std::unique_lock creating(mutex_, std::try_to_lock);
        if (!creating.owns_lock()) without_interpreter_lock([&] { creating.lock(); });
        if (PyObject* value = peek()) return value;
        PyObject* made = make().release();
        value_.store(made, std::memory_order_release);
        return made;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

OnceValue panic_type;
OnceValue sequence;
std::array<OnceValue, 5> names;

constexpr const char* panic_doc =
    "\nThe exception raised when native code called from Python fails.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr std::array<const char*, 5> name_texts = {"add_note", "__all__", "__name__", "__module__",
                                                   "__qualname__"};

}  // namespace

PyObject* panic_exception_type() {
    return panic_type.get([] {
        return require_new(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                     PyExc_BaseException, nullptr));
    });
}

PyObject* panic_exception_type_if_created() noexcept { return panic_type.peek(); }

PyObject* sequence_type() {
    return sequence.get([] {
        OwnedRef module_name = require_new(PyUnicode_FromString("collections.abc"));
        OwnedRef module = require(PyImport_Import(module_name.get()));
        return require(PyObject_GetAttrString(module.get(), "Sequence"));
    });
}

PyObject* interned(Name name) {
    auto index = static_cast<std::size_t>(name);
    return names[index].get([index] { return require_new(PyUnicode_InternFromString(name_texts[index])); });
}

}  // namespace velmor

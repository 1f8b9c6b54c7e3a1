// listener_watch and watch_look: the core's watch of the listeners, kept
// between looks in a capsule that deletes it when the last reference goes.
// A look runs with the interpreter lock released; the watch's own mutex
// keeps two threads from looking with one watch at once.

#include <memory>
#include <mutex>
#include <utility>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/table/arguments.hpp"
#include "bindings/table/bodies.hpp"
#include "bindings/table/results.hpp"
#include "core/sockets/listener_watch.hpp"

namespace velmor::table_bodies {
namespace {

constexpr FunctionSpec listener_watch_spec{"listener_watch", {"ports", "udp"}, 2, 0};
constexpr FunctionSpec watch_look_spec{"watch_look", {"watch"}, 1, 1};
constexpr const char* capsule_name = "velmor._table.listener_watch";

struct SharedWatch {
    explicit SharedWatch(ListenerWatchRequest request) : watch(std::move(request)) {}
    std::mutex looking;
    ListenerWatch watch;
};

extern "C" void delete_watch(PyObject* capsule) {
    delete static_cast<SharedWatch*>(PyCapsule_GetPointer(capsule, capsule_name));
}

SharedWatch& watch_in(PyObject* object) {
    if (PyCapsule_IsValid(object, capsule_name) == 0) {
        throw CallError::deferred(PyExc_TypeError,
                                  "watch must be a watch from listener_watch(), not " + type_qualname(object));
    }
    return *static_cast<SharedWatch*>(PyCapsule_GetPointer(object, capsule_name));
}

}  // namespace

OwnedRef listener_watch(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(listener_watch_spec, args, nargs, kwnames);
    ListenerWatchRequest request;
    request.ports = convert_argument("ports", [&] { return table_arguments::optional_ports(bound[0]); });
    request.udp = convert_argument("udp", [&] { return table_arguments::flag(bound[1], "udp"); });
    std::unique_ptr<SharedWatch> made =
        without_interpreter_lock([&] { return std::make_unique<SharedWatch>(std::move(request)); });
    OwnedRef capsule = require_new(PyCapsule_New(made.get(), capsule_name, delete_watch));
    made.release();  // the capsule owns it now
    return capsule;
}

OwnedRef watch_look(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(watch_look_spec, args, nargs, kwnames);
    SharedWatch& shared = *convert_argument("watch", [&] { return &watch_in(bound[0]); });
    int shortage = 0;
    std::vector<ListenerChange> changes = without_interpreter_lock([&] {
        std::lock_guard<std::mutex> one_look(shared.looking);
        std::vector<ListenerChange> seen = shared.watch.look();
        shortage = shared.watch.shortage();
        return seen;
    });
    if (shortage != 0) raise_short_of_descriptors(shortage, "to read the socket tables and the processes");
    return table_results::change_list(changes);
}

}  // namespace velmor::table_bodies

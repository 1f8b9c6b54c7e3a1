// The extension module _table: the socket table and what the package
// builds on it (stopping what holds a port, reserving ports), over the
// same core as _lib.

#include <cstdint>
#include <utility>

#include "bindings/boundary/entry.hpp"
#include "bindings/table/bodies.hpp"
#include "bindings/table/defaults.hpp"

namespace velmor {
namespace {

PyMethodDef functions[] = {
    function_record<table_bodies::sockets>(
        "sockets",
        "sockets(ports=None, listening=True, udp=False, holders=True, pids=None, evidence=False)\n--\n\n"
        "The sockets on `ports` (every port when None): TCP listeners, or TCP sockets in\n"
        "every state; with `udp` also UDP sockets (with `listening`, those bound and not\n"
        "connected). Each with the processes that hold it (only those of `pids` when given),\n"
        "as tuples. With `evidence`, (sockets, the\n"
        "processes whose descriptors could not be read when a socket has no holder, per socket\n"
        "None or what tells why it has none: (hidden, candidates, the candidates named))."),
    function_record<table_bodies::statuses>(
        "statuses",
        "statuses(ports)\n--\n\n"
        "Per port, (port, state, reason, owner, sockets, probe_error, hidden, candidates, texts,\n"
        "holders), from one read of the socket tables and one walk; texts are (explanation,\n"
        "closing note, UDP note, why a listener's holder is not seen, the candidates named),\n"
        "each note None when there is none; holders every process holding one of the sockets,\n"
        "once each, in pid order."),
    function_record<table_bodies::free_check>(
        "free_check",
        "free_check(ports, stop_at_taken=False)\n--\n\n"
        "Per port, True (free) or False (not free), from the listening table, trial binds and,\n"
        "where those do not decide, the port's sockets. With `stop_at_taken`, it stops at the\n"
        "first port that is not free, leaving None for the ports not looked at."),
    function_record<table_bodies::probe>("probe",
                                  "probe(port)\n--\n\n"
                                  "0 when a listener can be set up on 127.0.0.1:port, else the error number."),
    function_record<table_bodies::reserve>("reserve",
                                    "reserve()\n--\n\n"
                                    "A port the system chose, left in TIME-WAIT on 127.0.0.1."),
    function_record<table_bodies::process_tree>("process_tree",
                                         "process_tree(pid)\n--\n\n"
                                         "`pid` and every process below it."),
    function_record<table_bodies::pids_are_ours>(
        "pids_are_ours",
        "pids_are_ours()\n--\n\n"
        "True when the process listing's pids are those of this process's pid namespace."),
    function_record<table_bodies::processes>("processes",
                                      "processes(pids)\n--\n\n"
                                      "Per pid, (pid, parent, name, cmd, uid, descriptors_readable), or None when no such\n"
                                      "process exists."),
    function_record<table_bodies::printable>(
        "printable",
        "printable(text)\n--\n\n"
        "`text` with every character that is not printable written as its escape (\\x1b, \\n,\n"
        "\\u202e): one line of printable characters, the same that the command shows."),
    function_record<table_bodies::process_view>(
        "process_view",
        "process_view()\n--\n\n"
        "\"every\" when no pid namespace hides processes from this one; \"own-namespace\" when\n"
        "/proc shows our own pid namespace, not the system's first; \"foreign\" when /proc\n"
        "belongs to another."),
    function_record<table_bodies::wait>(
        "wait",
        "wait(ports, listening=False, timeout=30.0, pid=None, progress=None)\n--\n\n"
        "Wait until every port is free (with `listening`: listened on; with `pid`, by that process\n"
        "or a descendant) or `timeout` seconds pass, with Ctrl-C ending it: the ports still waited\n"
        "for. ProcessLookupError when `pid` exits first. `progress(pending)` is called now and then."),
    function_record<table_bodies::stop>(
        "stop",
        "stop(ports, udp=False, all_sockets=False, signal=15, kill_after=None, timeout=5.0, dry_run=False, "
        "pids=None, force=False)\n--\n\n"
        "Signal the processes that hold `ports` (SIGKILL with `force`) and wait until they let go:\n"
        "(ports, before, after, per port (result, error, processes)), before and after each port's\n"
        "state as statuses() gives them (after is None on a dry run), each process (pid, name, cmd,\n"
        "ports, signal, outcome)."),
    function_record<table_bodies::checked>(
        "checked",
        "checked(**arguments)\n--\n\n"
        "The arguments, each checked by the rule of its name (port, ports, pid, pids, timeout,\n"
        "kill_after, duration, or a flag: udp, all_sockets, force, dry_run, listening,\n"
        "holders) and converted (ports as a list without repeats, seconds as a float), in\n"
        "the order given.\n"
        "TypeError or ValueError naming the parameter for what breaks its rule."),
    function_record<table_bodies::listener_watch>(
        "listener_watch",
        "listener_watch(ports=None, udp=False)\n--\n\n"
        "A watch of the listeners on `ports` (every port when None; with `udp`, bound UDP sockets\n"
        "too), for watch_look()."),
    function_record<table_bodies::watch_look>(
        "watch_look",
        "watch_look(watch)\n--\n\n"
        "One look of `watch` at the listening table: the changes since the look before (the first:\n"
        "every listener present), those gone first, as (event, time, socket, holders_read), the\n"
        "socket as sockets() gives it, with the holders seen when it appeared."),
    {nullptr, nullptr, 0, nullptr},
};

// The defaults, in seconds, for the package's functions to take as theirs.
int add_defaults(PyObject* module) {
    const std::pair<const char*, std::int64_t> defaults[] = {
        {"STOP_TIMEOUT", table_bodies::default_stop_timeout_ns},
        {"WAIT_TIMEOUT", table_bodies::default_wait_timeout_ns},
    };
    for (const auto& [name, nanoseconds] : defaults) {
        PyObject* seconds = PyFloat_FromDouble(static_cast<double>(nanoseconds) / 1e9);
        if (seconds == nullptr) return -1;
        if (PyModule_AddObject(module, name, seconds) != 0) {
            Py_DECREF(seconds);
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(add_defaults)}, {0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_table", "The socket table and what is built on it.", 0, functions, slots,
    nullptr,               nullptr,  nullptr,
};

}  // namespace
}  // namespace velmor

PyMODINIT_FUNC PyInit__table() { return PyModuleDef_Init(&velmor::definition); }

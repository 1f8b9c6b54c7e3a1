// The extension module _table: the socket table and what the package
// builds on it (stopping what holds a port, reserving ports), over the
// same core as _lib.

#include "bindings/boundary/entry.hpp"
#include "bindings/table/bodies.hpp"

namespace velmor {
namespace {

PyMethodDef functions[] = {
    function_record<table_bodies::sockets>(
        "sockets",
        "sockets(ports=None, listening=True, udp=False, holders=True, pids=None)\n--\n\n"
        "The sockets on `ports` (every port when None): TCP listeners, or TCP sockets in\n"
        "every state; with `udp` also UDP sockets. Each with the processes that hold it\n"
        "(only those of `pids` when given), as tuples."),
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
    function_record<table_bodies::stop>(
        "stop",
        "stop(ports, udp=False, all_sockets=False, signal=15, kill_after=None, timeout=5.0, dry_run=False, "
        "pids=None)\n--\n\n"
        "Signal the processes that hold `ports` and wait until they let go: (targets, sockets found before)."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {{0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_table", "The socket table and what is built on it.", 0, functions, slots,
    nullptr,               nullptr,  nullptr,
};

}  // namespace
}  // namespace velmor

PyMODINIT_FUNC PyInit__table() { return PyModuleDef_Init(&velmor::definition); }

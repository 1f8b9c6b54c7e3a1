#pragma once
// The one way this project includes the interpreter's C interface.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

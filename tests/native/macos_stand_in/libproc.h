// Our own declarations of the macOS process information calls that
// src/core/platform/macos makes. For building that layer on Linux in tests:
// the syntax check compiles against them, and the emulation in
// tests/native/macos_emulation implements them from /proc.
#pragma once

#include <stdint.h>
#include <sys/proc_info.h>

#ifdef __cplusplus
extern "C" {
#endif
int proc_listpids(uint32_t type, uint32_t typeinfo, void* buffer, int buffersize);
int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize);
int proc_pidfdinfo(int pid, int fd, int flavor, void* buffer, int buffersize);
int proc_name(int pid, void* buffer, uint32_t buffersize);
int proc_pidpath(int pid, void* buffer, uint32_t buffersize);
#ifdef __cplusplus
}
#endif

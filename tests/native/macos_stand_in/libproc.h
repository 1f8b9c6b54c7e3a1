// Stand-in for the macOS process information calls, declared only so that
// owners/platform/macos.cpp can be syntax-checked on other systems. Written
// from the call shapes the owner search relies on; never linked.
#pragma once

#include <stdint.h>
#include <sys/proc_info.h>

extern "C" {
int proc_listpids(uint32_t type, uint32_t typeinfo, void* buffer, int buffersize);
int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize);
int proc_pidfdinfo(int pid, int fd, int flavor, void* buffer, int buffersize);
int proc_name(int pid, void* buffer, uint32_t buffersize);
int proc_pidpath(int pid, void* buffer, uint32_t buffersize);
}

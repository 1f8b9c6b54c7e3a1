// Apple's own sys/proc_info.h, for building the macOS layer and its
// emulation on Linux: the build puts Apple's headers (those ziglang ships)
// after the system's, so that the next sys/proc_info.h found is Apple's.
// Around it, the few names it takes from headers that Linux lacks or
// defines otherwise, with macOS's values and layout (the stubs beside this
// file give the rest). tests/test_platform_macos.py checks that every
// declaration is laid out here as it is on macOS.
#pragma once

#include <stdint.h>
#include <sys/param.h>
#include <sys/un.h>

#define MAXCOMLEN 16           // sys/param.h
#define SOCK_MAXADDRLEN 255    // sys/socket.h
#undef MAXPATHLEN
#define MAXPATHLEN 1024        // sys/syslimits.h: PATH_MAX, 4096 on Linux

// macOS's sockaddr_un, of which un_sockinfo holds two: a length byte, a
// one-byte family and 104 bytes of path (Linux's has a two-byte family and
// 108 bytes of path). Named so only while Apple's header is read.
struct velmor_macos_sockaddr_un {
    uint8_t sun_len;
    uint8_t sun_family;
    char sun_path[104];
};

#define sockaddr_un velmor_macos_sockaddr_un
#include_next <sys/proc_info.h>
#undef sockaddr_un

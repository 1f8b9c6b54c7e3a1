// Stand-in for the macOS process information types and constants, limited to
// what owners/platform/macos.cpp reads. Field sets and sizes are not those of
// the system headers; this only serves a syntax check.
#pragma once

#include <stdint.h>

#define PROC_ALL_PIDS 1

#define PROC_PIDLISTFDS 1
#define PROC_PIDTBSDINFO 3
#define PROC_PIDFDSOCKETINFO 3

#define PROX_FDTYPE_SOCKET 2

#define SOCKINFO_IN 1
#define SOCKINFO_TCP 2

#define TSI_S_LISTEN 1

struct proc_bsdinfo {
    uint32_t pbi_flags;
    uint32_t pbi_nfiles;
};

struct proc_fdinfo {
    int32_t proc_fd;
    uint32_t proc_fdtype;
};

struct in_sockinfo {
    int insi_fport;
    int insi_lport;
};

struct tcp_sockinfo {
    struct in_sockinfo tcpsi_ini;
    int tcpsi_state;
};

struct socket_info {
    uint64_t soi_so;
    int soi_kind;
    union {
        struct in_sockinfo pri_in;
        struct tcp_sockinfo pri_tcp;
    } soi_proto;
};

struct proc_fileinfo {
    uint32_t fi_openflags;
};

struct socket_fdinfo {
    struct proc_fileinfo pfi;
    struct socket_info psi;
};

// Our own declarations of the macOS process information types and constants
// that src/core/platform/macos reads, laid out as macOS lays them out on
// 64-bit machines (sizes and offsets are checked in the layer itself, see
// layout.hpp). Fields the layer does not read are kept only as padding of
// the right size. For building and running that layer on Linux in tests.
#pragma once

#include <netinet/in.h>
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
    uint32_t pbi_status;
    uint32_t pbi_xstatus;
    uint32_t pbi_pid;
    uint32_t pbi_ppid;
    uint32_t pbi_uid;
    uint32_t pbi_gid;
    uint32_t pbi_ruid;
    uint32_t pbi_rgid;
    uint32_t pbi_svuid;
    uint32_t pbi_svgid;
    uint32_t rfu_1;
    char pbi_comm[16];
    char pbi_name[32];
    uint32_t pbi_nfiles;
    uint32_t pbi_pgid;
    uint32_t pbi_pjobc;
    uint32_t e_tdev;
    uint32_t e_tpgid;
    int32_t pbi_nice;
    uint64_t pbi_start_tvsec;
    uint64_t pbi_start_tvusec;
};

struct proc_fdinfo {
    int32_t proc_fd;
    uint32_t proc_fdtype;
};

struct proc_fileinfo {
    uint32_t fi_openflags;
    uint32_t fi_status;
    int64_t fi_offset;
    int32_t fi_type;
    uint32_t fi_guardflags;
};

struct vinfo_stat {
    uint32_t vst_dev;
    uint16_t vst_mode;
    uint16_t vst_nlink;
    uint64_t vst_ino;
    uint32_t vst_uid;
    uint32_t vst_gid;
    int64_t vst_times[8];  // access, modification, change and birth times, each seconds and nanoseconds
    int64_t vst_size;
    int64_t vst_blocks;
    int32_t vst_blksize;
    uint32_t vst_flags;
    uint32_t vst_gen;
    uint32_t vst_rdev;
    int64_t vst_qspare[2];
};

struct sockbuf_info {
    uint32_t sbi_counts[5];
    short sbi_flags;
    short sbi_timeo;
};

// An IPv4 address in the last four bytes, or an IPv6 address.
struct in4in6_addr {
    uint32_t i46a_pad32[3];
    struct in_addr i46a_addr4;
};

struct in_sockinfo {
    int insi_fport;
    int insi_lport;
    uint64_t insi_gencnt;
    uint32_t insi_flags;
    uint32_t insi_flow;
    uint8_t insi_vflag;
    uint8_t insi_ip_ttl;
    uint32_t rfu_1;
    union {
        struct in4in6_addr ina_46;
        struct in6_addr ina_6;
    } insi_faddr;
    union {
        struct in4in6_addr ina_46;
        struct in6_addr ina_6;
    } insi_laddr;
    struct {
        unsigned char in4_tos;
    } insi_v4;
    struct {
        uint8_t in6_hlim;
        int in6_cksum;
        unsigned short in6_ifindex;
        short in6_hops;
    } insi_v6;
};

struct tcp_sockinfo {
    struct in_sockinfo tcpsi_ini;
    int tcpsi_state;
    int tcpsi_timer[4];
    int tcpsi_mss;
    uint32_t tcpsi_flags;
    uint32_t rfu_1;
    uint64_t tcpsi_tp;
};

struct socket_info {
    struct vinfo_stat soi_stat;
    uint64_t soi_so;
    uint64_t soi_pcb;
    int soi_type;
    int soi_protocol;
    int soi_family;
    short soi_options;
    short soi_linger;
    short soi_state;
    short soi_qlen;
    short soi_incqlen;
    short soi_qlimit;
    short soi_timeo;
    unsigned short soi_error;
    uint32_t soi_oobmark;
    struct sockbuf_info soi_rcv;
    struct sockbuf_info soi_snd;
    int soi_kind;
    uint32_t rfu_1;
    union {
        struct in_sockinfo pri_in;
        struct tcp_sockinfo pri_tcp;
        uint64_t pri_reserved[66];  // the other kinds' members, local-domain sockets the largest
    } soi_proto;
};

struct socket_fdinfo {
    struct proc_fileinfo pfi;
    struct socket_info psi;
};

#pragma once
// The parts of the system's process information declarations that this
// layer reads, checked against the sizes and offsets macOS gives them on
// 64-bit machines, so that a header that lays them out otherwise fails the
// build instead of giving wrong answers.

#include <libproc.h>
#include <sys/proc_info.h>

#include <cstddef>

namespace velmor::platform::macos_layout {

static_assert(sizeof(proc_bsdinfo) == 136);
static_assert(offsetof(proc_bsdinfo, pbi_flags) == 0);
static_assert(offsetof(proc_bsdinfo, pbi_status) == 4);
static_assert(offsetof(proc_bsdinfo, pbi_ppid) == 16);
static_assert(offsetof(proc_bsdinfo, pbi_uid) == 20);
static_assert(offsetof(proc_bsdinfo, pbi_nfiles) == 96);
static_assert(offsetof(proc_bsdinfo, pbi_start_tvsec) == 120);

static_assert(sizeof(proc_fdinfo) == 8);
static_assert(offsetof(proc_fdinfo, proc_fd) == 0);
static_assert(offsetof(proc_fdinfo, proc_fdtype) == 4);
static_assert(PROX_FDTYPE_SOCKET == 2);

static_assert(sizeof(socket_fdinfo) == 792);
static_assert(offsetof(socket_fdinfo, pfi) == 0);
static_assert(sizeof(proc_fileinfo) == 24);
static_assert(offsetof(socket_fdinfo, psi) == 24);

// Offsets inside socket_fdinfo of the fields read through `psi`.
inline constexpr std::size_t psi = offsetof(socket_fdinfo, psi);
static_assert(psi + offsetof(socket_info, soi_stat) + offsetof(vinfo_stat, vst_uid) == 40);
static_assert(psi + offsetof(socket_info, soi_so) == 160);
static_assert(psi + offsetof(socket_info, soi_protocol) == 180);
static_assert(psi + offsetof(socket_info, soi_family) == 184);
static_assert(psi + offsetof(socket_info, soi_kind) == 256);
static_assert(psi + offsetof(socket_info, soi_proto) == 264);

inline constexpr std::size_t proto = psi + offsetof(socket_info, soi_proto);
static_assert(proto + offsetof(in_sockinfo, insi_fport) == 264);
static_assert(proto + offsetof(in_sockinfo, insi_lport) == 268);
static_assert(proto + offsetof(in_sockinfo, insi_vflag) == 288);
static_assert(proto + offsetof(in_sockinfo, insi_faddr) == 296);
static_assert(proto + offsetof(in_sockinfo, insi_laddr) == 312);
static_assert(sizeof(in_sockinfo::insi_faddr) == 16 && sizeof(in_sockinfo::insi_laddr) == 16);
// The TCP member starts with the same in_sockinfo.
static_assert(offsetof(tcp_sockinfo, tcpsi_ini) == 0);
static_assert(proto + offsetof(tcp_sockinfo, tcpsi_state) == 344);

static_assert(SOCKINFO_IN == 1 && SOCKINFO_TCP == 2 && TSI_S_LISTEN == 1);
static_assert(PROC_PIDLISTFDS == 1 && PROC_PIDTBSDINFO == 3 && PROC_PIDFDSOCKETINFO == 3 && PROC_ALL_PIDS == 1);

// insi_vflag: which of the two address families the socket has.
inline constexpr unsigned vflag_ipv4 = 0x1;
inline constexpr unsigned vflag_ipv6 = 0x2;

}  // namespace velmor::platform::macos_layout

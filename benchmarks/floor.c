/*
 * floor: the least work the kernel allows for each question the benchmark
 * asks, timed in a loop inside one process so that start-up is not counted.
 *
 *   netlink  one sock_diag query for TCP sockets in the LISTEN state on the
 *            port (AF_INET, port filter applied by the kernel)
 *   walk     one full walk of /proc/<pid>/fd, readlink on every descriptor,
 *            comparing each target with the socket's "socket:[inode]"
 *   probe    socket + setsockopt(SO_REUSEADDR) + bind 127.0.0.1:port +
 *            listen + close, on a free port
 *   bind0    socket + bind 127.0.0.1:0 + getsockname + close
 *   bind0l   the same with listen before getsockname (what a probe that
 *            also proves the port can listen costs)
 *
 * Usage: floor BUSY_PORT FREE_PORT [SECONDS_PER_TASK [TASK...]]
 * Runs the named tasks (all by default), each for about SECONDS_PER_TASK
 * (default 1; at least one repetition), and prints one line per task:
 * "<task> <median ns> <repetitions> <detail>".
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define TCP_LISTEN_STATE 10

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

static int compare_u64(const void *a, const void *b) {
    uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
    return x < y ? -1 : x > y;
}

static uint64_t median(uint64_t *values, size_t count) {
    qsort(values, count, sizeof *values, compare_u64);
    if (count % 2) return values[count / 2];
    return (values[count / 2 - 1] + values[count / 2]) / 2;
}

/* ---- (a) netlink sock_diag ------------------------------------------- */

/* Returns the inode of the first listening AF_INET TCP socket on `port`,
 * 0 when there is none, -1 on error. */
static long long netlink_listener_inode(uint16_t port) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    struct {
        struct nlmsghdr header;
        struct inet_diag_req_v2 request;
    } message;
    memset(&message, 0, sizeof message);
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_LISTEN_STATE;
    message.request.id.idiag_sport = htons(port);
    struct sockaddr_nl kernel = {.nl_family = AF_NETLINK};
    if (sendto(fd, &message, sizeof message, 0, (struct sockaddr *)&kernel, sizeof kernel) < 0) {
        close(fd);
        return -1;
    }
    long long inode = 0;
    char buffer[16384] __attribute__((aligned(NLMSG_ALIGNTO)));
    for (;;) {
        ssize_t length = recv(fd, buffer, sizeof buffer, 0);
        if (length < 0) {
            if (errno == EINTR) continue;
            inode = -1;
            break;
        }
        int done = 0;
        for (struct nlmsghdr *h = (struct nlmsghdr *)buffer; NLMSG_OK(h, (size_t)length);
             h = NLMSG_NEXT(h, length)) {
            if (h->nlmsg_type == NLMSG_DONE) { done = 1; break; }
            if (h->nlmsg_type == NLMSG_ERROR) { inode = -1; done = 1; break; }
            struct inet_diag_msg *diag = NLMSG_DATA(h);
            if (inode == 0 && ntohs(diag->id.idiag_sport) == port) inode = diag->idiag_inode;
        }
        if (done) break;
    }
    close(fd);
    return inode;
}

/* ---- (b) full walk of /proc/<pid>/fd ----------------------------------- */

/* Walks every process's descriptors, reading each one's link; returns how
 * many links `matches` accepts, and counts processes and descriptors seen. */
typedef int (*link_test)(const char *link, ssize_t length, const void *context);

static int walk_links(link_test matches, const void *context, long *processes, long *descriptors) {
    int found = 0;
    *processes = 0;
    *descriptors = 0;
    DIR *proc = opendir("/proc");
    if (!proc) return -1;
    int proc_fd = dirfd(proc);
    struct dirent *entry;
    char path[300];
    char link[256];
    while ((entry = readdir(proc)) != NULL) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        snprintf(path, sizeof path, "%s/fd", entry->d_name);
        int fd_dir = openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_dir < 0) continue;
        DIR *fds = fdopendir(fd_dir);
        if (!fds) { close(fd_dir); continue; }
        ++*processes;
        struct dirent *fd_entry;
        while ((fd_entry = readdir(fds)) != NULL) {
            if (fd_entry->d_name[0] < '0' || fd_entry->d_name[0] > '9') continue;
            ++*descriptors;
            ssize_t n = readlinkat(fd_dir, fd_entry->d_name, link, sizeof link - 1);
            if (n <= 0) continue;
            link[n] = '\0';
            if (matches(link, n, context)) ++found;
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

static int is_target(const char *link, ssize_t n, const void *target) {
    size_t length = strlen(target);
    return n == (ssize_t)length && memcmp(link, target, length) == 0;
}

/* Counts the descriptors that point at `target`. */
static int walk_proc(const char *target, long *processes, long *descriptors) {
    return walk_links(is_target, target, processes, descriptors);
}

/* ---- (e) every listener: both LISTEN dumps, then one full walk ----------- */

/* Appends the inodes of every listening TCP socket of `family` to `inodes`. */
static int dump_listeners(int family, unsigned long long *inodes, size_t *count, size_t capacity) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    struct {
        struct nlmsghdr header;
        struct inet_diag_req_v2 request;
    } message;
    memset(&message, 0, sizeof message);
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = (unsigned char)family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_LISTEN_STATE;
    struct sockaddr_nl kernel = {.nl_family = AF_NETLINK};
    if (sendto(fd, &message, sizeof message, 0, (struct sockaddr *)&kernel, sizeof kernel) < 0) {
        close(fd);
        return -1;
    }
    char buffer[16384] __attribute__((aligned(NLMSG_ALIGNTO)));
    for (int done = 0; !done;) {
        ssize_t length = recv(fd, buffer, sizeof buffer, 0);
        if (length < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (struct nlmsghdr *h = (struct nlmsghdr *)buffer; NLMSG_OK(h, (size_t)length); h = NLMSG_NEXT(h, length)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) { done = 1; break; }
            struct inet_diag_msg *diag = NLMSG_DATA(h);
            if (*count < capacity) inodes[(*count)++] = diag->idiag_inode;
        }
    }
    close(fd);
    return 0;
}

static int compare_ull(const void *a, const void *b) {
    unsigned long long x = *(const unsigned long long *)a, y = *(const unsigned long long *)b;
    return (x > y) - (x < y);
}

struct inode_set { const unsigned long long *inodes; size_t count; };

static int is_listener(const char *link, ssize_t n, const void *context) {
    const struct inode_set *set = context;
    if (n <= 8 || memcmp(link, "socket:[", 8) != 0) return 0;
    unsigned long long inode = strtoull(link + 8, NULL, 10);
    return bsearch(&inode, set->inodes, set->count, sizeof *set->inodes, compare_ull) != NULL;
}

/* Both dumps, then every descriptor of every process read and matched
 * against the listeners' inodes; returns how many descriptors matched. */
static int all_listeners(long *processes, long *descriptors) {
    static unsigned long long inodes[65536];
    size_t count = 0;
    dump_listeners(AF_INET, inodes, &count, 65536);
    dump_listeners(AF_INET6, inodes, &count, 65536);
    qsort(inodes, count, sizeof inodes[0], compare_ull);
    struct inode_set set = {inodes, count};
    return walk_links(is_listener, &set, processes, descriptors);
}

/* ---- (c) probe and (d) port-0 bind ------------------------------------- */

static struct sockaddr_in loopback(uint16_t port) {
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

static int probe(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    int on = 1;
    struct sockaddr_in address = loopback(port);
    int ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
             bind(fd, (struct sockaddr *)&address, sizeof address) == 0 && listen(fd, 128) == 0;
    close(fd);
    return ok;
}

static int bind_port_zero(int with_listen) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    struct sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, (struct sockaddr *)&address, sizeof address) == 0 &&
        (!with_listen || listen(fd, 128) == 0) &&
        getsockname(fd, (struct sockaddr *)&address, &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

/* ---- timing ------------------------------------------------------------- */

/* Runs `task` repeatedly for about `seconds` (at least once and at most
 * `max_reps` times) and returns the median of single calls. */
typedef void (*task_fn)(void *);

static uint64_t time_task(task_fn task, void *context, double seconds, size_t max_reps, size_t *reps_out) {
    uint64_t *samples = malloc(max_reps * sizeof *samples);
    if (!samples) exit(1);
    task(context); /* warm-up */
    uint64_t budget = (uint64_t)(seconds * 1e9), start = now_ns();
    size_t reps = 0;
    while (reps < max_reps && (reps < 1 || now_ns() - start < budget)) {
        uint64_t t0 = now_ns();
        task(context);
        samples[reps++] = now_ns() - t0;
    }
    uint64_t result = median(samples, reps);
    free(samples);
    *reps_out = reps;
    return result;
}

struct port_context { uint16_t port; long long result; };
struct walk_context { const char *target; int matches; long processes, descriptors; };

static void netlink_task(void *c) {
    struct port_context *p = c;
    p->result = netlink_listener_inode(p->port);
}
static void walk_task(void *c) {
    struct walk_context *w = c;
    w->matches = walk_proc(w->target, &w->processes, &w->descriptors);
}
struct listeners_context { int matches; long processes, descriptors; };
static void listeners_task(void *c) {
    struct listeners_context *l = c;
    l->matches = all_listeners(&l->processes, &l->descriptors);
}
static void probe_task(void *c) {
    struct port_context *p = c;
    p->result = probe(p->port);
}
static void bind0_task(void *c) {
    struct port_context *p = c;
    p->result = bind_port_zero(0);
}
static void bind0_listen_task(void *c) {
    struct port_context *p = c;
    p->result = bind_port_zero(1);
}

static int wanted(int argc, char **argv, const char *task) {
    if (argc <= 4) return 1;
    for (int i = 4; i < argc; ++i)
        if (strcmp(argv[i], task) == 0) return 1;
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s BUSY_PORT FREE_PORT [SECONDS_PER_TASK [TASK...]]\n", argv[0]);
        return 2;
    }
    uint16_t busy = (uint16_t)atoi(argv[1]), free_port = (uint16_t)atoi(argv[2]);
    double seconds = argc > 3 ? atof(argv[3]) : 1.0;
    size_t reps;
    uint64_t t;

    struct port_context nl = {busy, 0};
    if (wanted(argc, argv, "netlink")) {
        t = time_task(netlink_task, &nl, seconds, 1000000, &reps);
        printf("netlink %llu %zu inode=%lld\n", (unsigned long long)t, reps, nl.result);
    }
    if (wanted(argc, argv, "walk")) {
        /* The walk looks for the listener's socket; finding its inode is not timed here. */
        if (nl.result == 0) nl.result = netlink_listener_inode(busy);
        if (nl.result <= 0) {
            fprintf(stderr, "floor: no listening socket found on port %u\n", busy);
            return 1;
        }
        char target[64];
        snprintf(target, sizeof target, "socket:[%lld]", nl.result);
        struct walk_context walk = {target, 0, 0, 0};
        t = time_task(walk_task, &walk, seconds, 100000, &reps);
        printf("walk %llu %zu processes=%ld descriptors=%ld matches=%d\n", (unsigned long long)t, reps,
               walk.processes, walk.descriptors, walk.matches);
    }
    if (wanted(argc, argv, "listeners")) {
        struct listeners_context all = {0, 0, 0};
        t = time_task(listeners_task, &all, seconds, 100000, &reps);
        printf("listeners %llu %zu processes=%ld descriptors=%ld matches=%d\n", (unsigned long long)t, reps,
               all.processes, all.descriptors, all.matches);
    }
    struct port_context pr = {free_port, 0};
    if (wanted(argc, argv, "probe")) {
        t = time_task(probe_task, &pr, seconds, 1000000, &reps);
        printf("probe %llu %zu free=%lld\n", (unsigned long long)t, reps, pr.result);
    }
    struct port_context b0 = {0, 0};
    if (wanted(argc, argv, "bind0")) {
        t = time_task(bind0_task, &b0, seconds, 1000000, &reps);
        printf("bind0 %llu %zu port=%lld\n", (unsigned long long)t, reps, b0.result);
    }
    if (wanted(argc, argv, "bind0l")) {
        t = time_task(bind0_listen_task, &b0, seconds, 1000000, &reps);
        printf("bind0l %llu %zu port=%lld\n", (unsigned long long)t, reps, b0.result);
    }
    fflush(stdout);
    return 0;
}

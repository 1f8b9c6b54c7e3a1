// Our own declarations of the kqueue calls that src/core/platform/macos
// uses to wake up when a signalled process exits, with the values macOS
// gives them. Only for compiling that layer on Linux; the wake-up itself
// runs only on a Mac.
#pragma once

#include <stdint.h>

#define EVFILT_PROC (-5)
#define EV_ADD 0x0001
#define EV_ONESHOT 0x0010
#define NOTE_EXIT 0x80000000U

// Aligned to 4 bytes, as macOS declares it on both architectures.
#pragma pack(4)
struct kevent {
    uintptr_t ident;
    int16_t filter;
    uint16_t flags;
    uint32_t fflags;
    intptr_t data;
    void* udata;
};
#pragma pack()

#define EV_SET(kevp, a, b, c, d, e, f)      \
    do {                                    \
        struct kevent* kev_ = (kevp);       \
        kev_->ident = (a);                  \
        kev_->filter = (int16_t)(b);        \
        kev_->flags = (uint16_t)(c);        \
        kev_->fflags = (uint32_t)(d);       \
        kev_->data = (e);                   \
        kev_->udata = (f);                  \
    } while (0)

#ifdef __cplusplus
extern "C" {
#endif
int kqueue(void);
int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist, int nevents,
           const struct timespec* timeout);
#ifdef __cplusplus
}
#endif

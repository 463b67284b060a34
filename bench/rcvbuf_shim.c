// LD_PRELOAD for bench/stalled-record: an SO_RCVBUF ask of 1 MiB (the RTP
// socket's) becomes $RCVBUF bytes; every other call goes through.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/socket.h>
int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    static int (*real)(int, int, int, const void*, socklen_t);
    if (!real) real = dlsym(RTLD_NEXT, "setsockopt");
    int v;
    if (level == SOL_SOCKET && name == SO_RCVBUF && length == sizeof v && *(const int*)value == 1048576 && getenv("RCVBUF")) {
        v = atoi(getenv("RCVBUF"));
        return real(fd, level, name, &v, sizeof v);
    }
    return real(fd, level, name, value, length);
}

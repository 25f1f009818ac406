// Gives the calling process, and the processes it starts, an empty /dev/shm of
// their own: what a cleaner that removed everything there leaves, without
// touching what anyone else has there. Linux, as root, in a process that has
// not started threads yet.
#pragma once

#include <sched.h>
#include <sys/mount.h>

inline bool EnterEmptySharedMemory() {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("none", "/dev/shm", "tmpfs", 0, nullptr) == 0;
}

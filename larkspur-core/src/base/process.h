// The calling process's id without a system call: glibc no longer caches
// getpid(), and the engine asks on every call whether it runs in the
// process that made its rings, threads and caches.
#pragma once

#include <sys/types.h>

namespace larkspur {

// getpid(), kept up to date across fork() by an atfork handler.
pid_t this_process();

}  // namespace larkspur

// A disk whose every sync takes a while, as a small server's network disk
// or a machine busy with other writes gives: loaded into a program with
// LD_PRELOAD, it makes each fsync and fdatasync wait SLOW_SYNC_MILLIS (20
// by default) before it syncs. The benchmarks load it into morvane-relay
// (SQLite syncs its log at every commit) and into their own PostgreSQL
// server; nothing of the product knows of it.
#include <dlfcn.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>

namespace {

long delayMillis() {
    static const long millis = [] {
        const char* text = std::getenv("SLOW_SYNC_MILLIS");
        return text && *text ? std::atol(text) : 20L;
    }();
    return millis;
}

void waitAWhile() {
    timespec left{delayMillis() / 1000, (delayMillis() % 1000) * 1'000'000};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    static const auto sync = next<int (*)(int)>("fsync");
    const auto saved = errno;
    waitAWhile();
    errno = saved;
    return sync(fd);
}

extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
    static const auto sync = next<int (*)(int)>("fdatasync");
    const auto saved = errno;
    waitAWhile();
    errno = saved;
    return sync(fd);
}

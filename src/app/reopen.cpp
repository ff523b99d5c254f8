#include "app/reopen.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <cstring>
#include <string>

extern char** environ;

namespace morvane {

std::optional<std::string> startReopen(const std::filesystem::path& program, pid_t waitFor) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const std::string programText = program.string();
    const std::string pidText = std::to_string(waitFor);
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>(reopenScript),
                    const_cast<char*>(programText.c_str()), const_cast<char*>(pidText.c_str()), nullptr};
    pid_t child = 0;
    const int rc = posix_spawn(&child, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return std::string(std::strerror(rc));
    return std::nullopt;
}

}  // namespace morvane

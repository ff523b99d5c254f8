#include "app/port_holder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace morvane {
namespace {

TEST(PortHolder, OnlyAListenerOnThePortIsFoundInTheKernelsTable) {
    const std::string heading = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n";
    const std::string row = " 00000000:00000000 00:00000000 00000000  1001        0 5555 1 0\n";
    const struct {
        std::string line;
        std::optional<port_holder::Listener> found;
    } rows[] = {
        {"   0: 0100007F:2212 00000000:0000 0A" + row, port_holder::Listener{1001, 5555}},
        {"   0: 00000000000000000000000000000000:2212 00000000000000000000000000000000:0000 0A" + row,
         port_holder::Listener{1001, 5555}},
        {"   1: 0100007F:2212 0100007F:9C40 01" + row, std::nullopt},  // a connection from the port
        {"   2: 0100007F:2213 00000000:0000 0A" + row, std::nullopt},  // another port
        {"   0: 0100007F:2212 00000000:0000 0A\n", std::nullopt},      // cut short
    };
    for (const auto& r : rows) EXPECT_EQ(port_holder::listenerIn(heading + r.line, 8722), r.found) << r.line;
}

// Another account's listener, named as any process may name itself.
struct OtherAccountListener {
    pid_t pid = -1;
    std::uint16_t port = 0;
    int keep = -1;  // closing it lets the child go

    OtherAccountListener(uid_t uid, const char* name) {
        int ready[2], hold[2];
        if (::pipe(ready) != 0 || ::pipe(hold) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            ::prctl(PR_SET_NAME, name);
            // The kernel's table names whoever made the socket.
            if (::setuid(uid) != 0) ::_exit(1);
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof at;
            if (::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(s, 1) != 0 ||
                ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length) != 0)
                ::_exit(1);
            const std::uint16_t bound = ntohs(at.sin_port);
            char byte;
            if (::write(ready[1], &bound, sizeof bound) != sizeof bound || ::read(hold[0], &byte, 1) < 0) ::_exit(1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        keep = hold[1];
        if (::read(ready[0], &port, sizeof port) != sizeof port) port = 0;
        ::close(ready[0]);
    }
    ~OtherAccountListener() {
        if (keep >= 0) ::close(keep);
        if (pid > 0) ::waitpid(pid, nullptr, 0);
    }
};

TEST(PortHolder, AnotherUsersHostIsNamedAsSuchAndAnotherProgramIsNot) {
    // Nobody found listening: the words still name the port and what to do.
    EXPECT_EQ(port_holder::words(8722, std::nullopt, 1000).line,
              "port 8722 is in use by another program. Quit the program that listens on port 8722 (ss -ltnp shows "
              "it), then start Morvane again");
    if (::getuid() != 0) GTEST_SKIP() << "only root can listen as another account";
    OtherAccountListener host(65534, "morvane-host"), other(65534, "other-server");
    ASSERT_NE(host.port, 0);
    ASSERT_NE(other.port, 0);
    const auto at = [](std::uint16_t port) { return "port " + std::to_string(port); };
    const auto words = [](std::uint16_t port) { return port_holder::words(port, port_holder::find(port), 1000); };
    const auto user = port_holder::find(host.port).value_or(PortHolder{}).user;
    EXPECT_EQ(words(host.port),
              (port_holder::Words{"another user’s Morvane (" + user + ") serves this computer on " + at(host.port),
                                  "One user at a time can use Morvane on a computer: quit it in " + user +
                                      "’s session, then start Morvane here again",
                                  "another user's Morvane (" + user + ") serves this computer on " + at(host.port) +
                                      ". One user at a time can use Morvane on a computer: quit it in " + user +
                                      "'s session, then start Morvane here again"}));
    EXPECT_EQ(words(other.port).menu, at(other.port) + " is in use by other-server of user " + user);
}

}  // namespace
}  // namespace morvane

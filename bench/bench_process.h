// What the relay benchmarks share to run the programs they measure: a free loopback port and a
// child process whose standard error goes to a file, for its log lines to be read afterwards.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace morvane::bench {

inline std::uint16_t freePort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return a.local_endpoint().port();
}

// Runs a program with its standard error kept in a file; returns its pid.
inline pid_t startWithErrorsIn(const std::vector<std::string>& command, const std::filesystem::path& errors) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int file = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (file >= 0) ::dup2(file, 2);
        std::vector<char*> argv;
        for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Waits up to a minute for a program it started to listen on a loopback port, and gives up at
// once if the program ends.
inline void waitForPort(std::uint16_t port, const std::string& what, pid_t pid, const std::string& host = "127.0.0.1") {
    boost::asio::io_context io;
    for (int i = 0; i < 2400; ++i) {
        boost::asio::ip::tcp::socket probe(io);
        boost::system::error_code ec;
        probe.connect({boost::asio::ip::make_address(host), port}, ec);
        if (!ec) return;
        if (::waitpid(pid, nullptr, WNOHANG) == pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    throw std::runtime_error(what + " did not listen on port " + std::to_string(port));
}

}  // namespace morvane::bench

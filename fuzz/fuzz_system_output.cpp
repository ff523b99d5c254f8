// What the system tells the host about itself, read as the host reads it:
// the first byte picks 0 a lid's state file, 1 systemctl's load states,
// 2 the kernel's sleep states, 3 loginctl's properties, 4 the screen saver's
// answer from dbus-send, 5 a routing netlink buffer, 6 the kernel's table of
// TCP sockets, 7 a process's stat line and the kernel's, apart at the first
// NUL. The text readers go by lines, so their answer stays the same whatever
// newline separates them, with blank lines around and with a line of another
// property in front. Reading a netlink buffer twice leaves the facts it left
// the first time: each link ends as its last message says, and routes are
// only added. A listener of another port after the table, or a line after
// the kernel's, changes nothing.
#include <functional>
#include <string>

#include "fuzz_support.h"
#include "app/port_holder.h"
#include "app/system_state.h"
#include "devices/private_file.h"
#include "platform/linux/net_path_monitor_linux.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

using Reader = std::function<bool(std::string_view)>;

std::string replaced(const std::string& text, std::string_view newline) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += newline;
        else
            out.push_back(c);
    }
    return out;
}

void lines(const Reader& read, const std::string& text) {
    const bool answer = read(text);
    require(read("\n\n" + text + "\n") == answer);
    require(read("Id=1\n" + text) == answer);
    require(read(replaced(text, "\r\n")) == answer);
    require(read(replaced(text, "\xE2\x80\xA8")) == answer);
}

void netlink(std::span<const std::uint8_t> buffer) {
    NetPathFacts once;
    const bool more = readNetlinkMessages(buffer, once);
    NetPathFacts twice = once;
    require(readNetlinkMessages(buffer, twice) == more);
    require(twice == once);
    (void)pathSatisfied(once);
}

void socketTable(const std::string& text) {
    const auto found = port_holder::listenerIn(text, 8722);
    const std::string other = "\n   9: 0100007F:2213 00000000:0000 0A 00000000:00000000 00:00000000 00000000  7 0 9 1\n";
    require(port_holder::listenerIn(text + other, 8722) == found);
}

void processStart(const std::string& text) {
    const auto at = text.find('\0');
    const std::string stat = text.substr(0, at), kernel = at == std::string::npos ? "" : text.substr(at + 1);
    const auto start = private_file::processStart(stat, kernel, 100);
    require(private_file::processStart(stat, kernel + "\nctxt 5\n", 100) == start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 8) {
        case 0: lines(SystemState::parseLidClosed, text); break;
        case 1: lines(SystemState::parseSleepDisabled, text); break;
        case 2: lines(SystemState::parseKernelCanSleep, text); break;
        case 3: lines(SystemState::parseSleepBlocked, text); break;
        case 6: socketTable(text); break;
        case 7: processStart(text); break;
        default: netlink({data + 1, size - 1}); break;
    }
    return 0;
}

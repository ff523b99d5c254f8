// What the Tailscale tool prints, read as the host reads it: the first byte
// picks "status --json" (0), "serve status --json" (1) or a proxy target (2).
// The tool is outside the program, so none of it may crash the host; names
// come out lower case, a target's port reads the same
// when written back as our own form of target, and only that form is ours.
#include <algorithm>
#include <cctype>

#include "fuzz_support.h"
#include "tailnet/tailscale_parse.h"

using namespace morvane;
using morvane::fuzz::require;

namespace {

// The host compares these with what browsers send, which is lower case.
bool lower(const std::string& name) {
    return std::none_of(name.begin(), name.end(), [](unsigned char c) { return std::isupper(c) != 0; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            if (const auto status = TailscaleParse::status(text)) {
                if (status->dnsName) require(lower(*status->dnsName));
                for (const auto& domain : status->certDomains) require(lower(domain));
            }
            break;
        case 1:
            TailscaleParse::serve(text, "mac.example.ts.net", 8722);
            break;
        default:
            if (const auto port = TailscaleParse::targetPort(text))
                require(TailscaleParse::targetPort("http://127.0.0.1:" + std::to_string(*port) + "/") == port);
            if (TailscaleParse::isMorvaneTarget(text, 8722)) require(TailscaleParse::targetPort(text) == 8722);
            break;
    }
    return 0;
}

// A stand-in for the Tailscale tool in a root-owned folder the test makes:
// a script that records its arguments, one per line and a blank line after
// each call, and prints the recorded JSON kept beside it. What it does can
// be changed between runs by rewriting those files.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "platform/linux/tailscale_cli.h"
#include "../support/text_files.h"

namespace morvane::testing {

inline std::string md5Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        static const char* digits = "0123456789abcdef";
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

class FakeTool {
public:
    static constexpr const char* dnsName = "studio.tail1234.ts.net";

    FakeTool() {
        if (::geteuid() != 0) throw std::runtime_error("the fake tool's folder must be owned by root: run as root");
        char pattern[] = "/tmp/morvane-tool-XXXXXX";
        if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        root_ = pattern;
        ::chmod(root_.c_str(), 0755);
        std::filesystem::create_directories(root_ / "bin");
        std::filesystem::create_directories(root_ / "dpkg");
        std::filesystem::create_directories(root_ / "state");
        ::chmod((root_ / "state").c_str(), 0777);
        setStatus(statusJson("owner@example.com"));
        setServe("null");
        writeText(root_ / "state" / "published.json", publishedJson());
        installScript(script());
    }
    ~FakeTool() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    FakeTool(const FakeTool&) = delete;
    FakeTool& operator=(const FakeTool&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path tool() const { return root_ / "bin" / "tailscale"; }
    TailscaleToolPlaces places() const { return {{tool()}, root_, root_ / "dpkg"}; }

    static std::string statusJson(const std::string& login, const std::string& state = "Running") {
        return R"({"BackendState":")" + state + R"(","Self":{"DNSName":"Studio.tail1234.ts.net.","UserID":7},)" +
               R"("CertDomains":["studio.tail1234.ts.net"],"User":{"7":{"LoginName":")" + login + R"("}}})";
    }
    static std::string publishedJson(int port = 8722) {
        return R"({"TCP":{"443":{"HTTPS":true}},"Web":{"studio.tail1234.ts.net:443":{"Handlers":{"/":{"Proxy":"http://127.0.0.1:)" +
               std::to_string(port) + R"("}}}}})";
    }
    void setStatus(const std::string& json) { writeText(root_ / "state" / "status.json", json); }
    void setServe(const std::string& json) { writeText(root_ / "state" / "serve.json", json); }
    void setPublished(const std::string& json) { writeText(root_ / "state" / "published.json", json); }
    // "", "hang", "fork", "endless", "fail", "huge", "signal", "stderr", "env".
    void setBehaviour(const std::string& word) { writeText(root_ / "state" / "behaviour", word); }
    std::string calls() const { return readText(root_ / "state" / "calls"); }
    std::string serve() const { return readText(root_ / "state" / "serve.json"); }

    // Rewrites the script and records its checksum as a package's would be.
    void installScript(const std::string& text, bool recordChecksum = true) {
        writeText(tool(), text);
        ::chmod(tool().c_str(), 0755);
        const std::string listed = tool().string().substr(1);
        writeText(root_ / "dpkg" / "fake-tailscale:amd64.md5sums",
                  recordChecksum ? "0123456789abcdef0123456789abcdef  usr/share/doc/other\n" + md5Hex(text) + "  " +
                                       listed + "\n"
                                 : "");
    }
    std::string script() const {
        const std::string s = (root_ / "state").string();
        return "#!/bin/sh\n"
               "s=" + s + "\n"
               "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$s/calls\"; done; echo >> \"$s/calls\"\n"
               "b=$(cat \"$s/behaviour\" 2>/dev/null)\n"
               "case \"$b\" in\n"
               "  hang) echo started; exec sleep 1000 ;;\n"
               "  fork) sleep 1000 & echo $! > \"$s/child\"; echo partial; exit 0 ;;\n"
               "  endless) exec yes tailscale ;;\n"
               "  fail) exit 1 ;;\n"
               "  huge) head -c 20971520 /dev/zero; exit 0 ;;\n"
               "  signal) kill -9 $$ ;;\n"
               "  stderr) echo out; echo err >&2; exit 3 ;;\n"
               "  env) env; exit 0 ;;\n"
               "esac\n"
               "case \"$1 $2 $3\" in\n"
               "  'status --json ') cat \"$s/status.json\" ;;\n"
               "  'serve status --json') cat \"$s/serve.json\" ;;\n"
               "  'serve --bg --https=443') cp \"$s/published.json\" \"$s/serve.json\" ;;\n"
               "  'serve --https=443 '*) echo null > \"$s/serve.json\" ;;\n"
               "  'version  ') echo 1.76.1; echo '  tailscale commit: abc' ;;\n"
               "  *) echo \"unknown command $1\" >&2; exit 2 ;;\n"
               "esac\n";
    }

private:
    std::filesystem::path root_;
};

}  // namespace morvane::testing

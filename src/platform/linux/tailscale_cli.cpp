#include "platform/linux/tailscale_cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <utility>
#include <mutex>
#include <optional>
#include <variant>

#include "platform/linux/process_runner.h"

namespace morvane {

namespace fs = std::filesystem;

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Nothing there that could be a tool: not installed, said nowhere.
struct Absent {};
struct Refused {
    std::string problem;
};
struct Checked {
    Descriptor fd;
    std::string facts;
};
using Opened = std::variant<Absent, Refused, Checked>;

std::optional<std::string> ownershipProblem(const struct stat& st, const std::string& what) {
    if (st.st_uid != 0) return what + " is owned by user " + std::to_string(st.st_uid) + ", not by root";
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return what + " is writable by group or others";
    return std::nullopt;
}

std::optional<std::string> md5(int fd) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx) return std::nullopt;
    std::optional<std::string> hex;
    if (EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1) {
        std::string block(65'536, '\0');
        off_t at = 0;
        bool ok = true;
        for (;;) {
            const ssize_t n = ::pread(fd, block.data(), block.size(), at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) ok = false;
            if (n <= 0) break;
            at += n;
            EVP_DigestUpdate(ctx, block.data(), static_cast<std::size_t>(n));
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (ok && EVP_DigestFinal_ex(ctx, digest, &length) == 1) {
            static const char* digits = "0123456789abcdef";
            hex.emplace();
            for (unsigned int i = 0; i < length; ++i) {
                hex->push_back(digits[digest[i] >> 4]);
                hex->push_back(digits[digest[i] & 15]);
            }
        }
    }
    EVP_MD_CTX_free(ctx);
    return hex;
}

class LinuxTrustedCLI final : public TrustedCLI::Tool {
public:
    explicit LinuxTrustedCLI(TailscaleToolPlaces places) : places_(std::move(places)) {}

    Lookup find() override {
        std::optional<std::string> firstFailure;
        for (const auto& candidate : places_.candidates) {
            Opened opened = open(candidate);
            if (auto* checked = std::get_if<Checked>(&opened)) return cli_lookup::Found{candidate.string(), checked->facts};
            if (auto* refused = std::get_if<Refused>(&opened); refused && !firstFailure)
                firstFailure = candidate.string() + ": " + refused->problem;
        }
        if (firstFailure) return cli_lookup::Untrusted{*firstFailure};
        return cli_lookup::NotInstalled{};
    }

    RunResult run(const std::string& path, const std::vector<std::string>& arguments, double timeoutSeconds,
                  bool mergeErrors) override {
        RunResult result;
        Opened opened = open(path);
        if (std::holds_alternative<Absent>(opened)) {
            result.refused = "could not start the Tailscale CLI (errno " + std::to_string(ENOENT) + ")";
            return result;
        }
        if (auto* refused = std::get_if<Refused>(&opened)) {
            result.refused = refused->problem;
            return result;
        }
        ProcessSpec spec;
        spec.executable = std::get<Checked>(opened).fd.get();
        spec.argv = {path};
        spec.argv.insert(spec.argv.end(), arguments.begin(), arguments.end());
        spec.env = TrustedCLI::environment();
        spec.timeoutMillis = static_cast<std::int64_t>(timeoutSeconds * 1000);
        spec.mergeErrors = mergeErrors;
        spec.maxOutputBytes = TrustedCLI::maxOutputBytes;
        auto outcome = runProcess(spec);
        if (outcome.noPipe) {
            result.refused = *outcome.noPipe;
            return result;
        }
        if (outcome.startErrno) {
            result.refused = "could not start the Tailscale CLI (errno " + std::to_string(*outcome.startErrno) + ")";
            return result;
        }
        result.status = outcome.status;
        result.output = TrustedCLI::decodeOutput(outcome.output);
        result.timedOut = outcome.timedOut;
        return result;
    }

private:
    // Walks from the trust root to the file one component at a time,
    // refusing symbolic links and folders that others could change, then
    // checks the opened file itself.
    Opened open(const fs::path& candidate) {
        const fs::path path = candidate.lexically_normal();
        const fs::path root = places_.trustRoot.lexically_normal();
        const fs::path relative = path.lexically_relative(root);
        if (!path.is_absolute() || relative.empty() || *relative.begin() == "..")
            return Refused{path.string() + " lies outside " + root.string()};

        Descriptor dir(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() < 0) return Absent{};
        struct stat st {};
        if (::fstat(dir.get(), &st) != 0) return Absent{};
        if (auto problem = ownershipProblem(st, "the folder " + root.string())) return Refused{*problem};

        fs::path reached = root;
        std::vector<fs::path> parts(relative.begin(), relative.end());
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            reached /= parts[i];
            Descriptor next(::openat(dir.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next.get() < 0) {
                if (errno == ENOENT) return Absent{};
                return Refused{"the folder " + reached.string() + " is not a plain folder (a symbolic link?)"};
            }
            if (::fstat(next.get(), &st) != 0) return Absent{};
            if (auto problem = ownershipProblem(st, "the folder " + reached.string())) return Refused{*problem};
            dir = std::move(next);
        }

        // Non-blocking so that a pipe put in the tool's place cannot stall
        // the open; a regular file ignores the flag.
        Descriptor file(::openat(dir.get(), parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file.get() < 0) {
            if (errno == ENOENT) return Absent{};
            if (errno == ELOOP) return Refused{"it is a symbolic link"};
            return Refused{"it cannot be opened (errno " + std::to_string(errno) + ")"};
        }
        if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & 0111)) return Absent{};
        if (auto problem = ownershipProblem(st, "the file")) return Refused{*problem};

        std::string facts = "a root-owned file that group and others cannot change, in folders of the same kind from " +
                            root.string();
        if (const auto recorded = packageChecksum(path)) {
            const auto actual = md5(file.get());
            if (!actual) return Refused{"its content could not be read"};
            if (*actual != recorded->second)
                return Refused{"its content does not match the checksum recorded by package " + recorded->first};
            facts += ", content matching package " + recorded->first;
        } else {
            facts += ", not part of a package";
        }
        return Checked{std::move(file), std::move(facts)};
    }

    // (package, checksum) of the dpkg list naming `path`. The lists are read
    // again only when the package manager changed its folder.
    std::optional<std::pair<std::string, std::string>> packageChecksum(const fs::path& path) {
        std::lock_guard lock(m_);
        std::error_code ec;
        const auto stamp = fs::last_write_time(places_.packageInfo, ec);
        if (ec) return std::nullopt;
        if (const auto it = cache_.find(path.string()); it != cache_.end() && it->second.first == stamp)
            return it->second.second;
        std::optional<std::pair<std::string, std::string>> found;
        for (fs::directory_iterator it(places_.packageInfo, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path list = it->path();
            if (list.extension() != ".md5sums") continue;
            std::ifstream in(list, std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (auto sum = recordedChecksum(text, path.string())) {
                std::string package = list.stem().string();
                if (const auto colon = package.find(':'); colon != std::string::npos) package.resize(colon);
                found = std::make_pair(package, *sum);
                break;
            }
        }
        cache_[path.string()] = {stamp, found};
        return found;
    }

    TailscaleToolPlaces places_;
    std::mutex m_;
    std::map<std::string, std::pair<fs::file_time_type, std::optional<std::pair<std::string, std::string>>>> cache_;
};

}  // namespace

std::optional<std::string> recordedChecksum(std::string_view md5sums, std::string_view path) {
    if (path.empty() || path.front() != '/') return std::nullopt;
    path.remove_prefix(1);
    while (!md5sums.empty()) {
        const auto end = md5sums.find('\n');
        std::string_view line = md5sums.substr(0, end);
        md5sums = end == std::string_view::npos ? std::string_view() : md5sums.substr(end + 1);
        if (line.size() < 34 || line.substr(32, 2) != "  " || line.substr(34) != path) continue;
        const auto sum = line.substr(0, 32);
        std::string lower;
        for (const char c : sum) {
            const char l = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
            if (!((l >= '0' && l <= '9') || (l >= 'a' && l <= 'f'))) return std::nullopt;
            lower.push_back(l);
        }
        return lower;
    }
    return std::nullopt;
}

std::unique_ptr<TrustedCLI::Tool> makeLinuxTrustedCLI(TailscaleToolPlaces places) {
    return std::make_unique<LinuxTrustedCLI>(std::move(places));
}

bool selfCheckPlumbing() {
    Descriptor echo(::open("/bin/echo", O_RDONLY | O_CLOEXEC));
    if (echo.get() < 0) return false;
    ProcessSpec spec;
    spec.executable = echo.get();
    spec.argv = {"/bin/echo", "plumbing-ok"};
    spec.env = TrustedCLI::environment();
    spec.timeoutMillis = 5'000;
    spec.maxOutputBytes = TrustedCLI::maxOutputBytes;
    const auto outcome = runProcess(spec);
    return !outcome.noPipe && !outcome.startErrno && outcome.status == 0 && !outcome.timedOut &&
           outcome.output == "plumbing-ok\n";
}

}  // namespace morvane

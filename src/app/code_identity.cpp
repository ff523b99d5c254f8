#include "app/code_identity.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

namespace morvane::CodeIdentity {

namespace {

constexpr std::size_t maxProgramHeaders = 512;
constexpr std::size_t maxDynamicBytes = 64 * 1024;
constexpr std::size_t maxProcFileBytes = 256 * 1024;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool readAt(int fd, std::uint64_t offset, std::uint64_t fileSize, void* out, std::size_t length) {
    if (offset > fileSize || length > fileSize - offset) return false;
    auto* p = static_cast<char*>(out);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, p + done, length - done, static_cast<off_t>(offset + done));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads a small /proc file whole (its reported size is 0).
std::string readProcFile(const char* path) {
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return {};
    std::string out;
    char buffer[4096];
    while (out.size() < maxProcFileBytes) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace

ElfFacts readElf(const std::filesystem::path& executable) {
    ElfFacts facts;
    Fd fd(::open(executable.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return facts;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return facts;
    const auto size = static_cast<std::uint64_t>(st.st_size);

    Elf64_Ehdr header{};
    if (!readAt(fd.get(), 0, size, &header, sizeof header)) return facts;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return facts;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (header.e_ident[EI_DATA] != ELFDATA2LSB) return facts;
#else
    if (header.e_ident[EI_DATA] != ELFDATA2MSB) return facts;
#endif
    if (header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 || header.e_phnum > maxProgramHeaders)
        return facts;

    std::vector<Elf64_Phdr> programs(header.e_phnum);
    if (!readAt(fd.get(), header.e_phoff, size, programs.data(), programs.size() * sizeof(Elf64_Phdr))) return facts;

    facts.readable = true;
    facts.pie = header.e_type == ET_DYN;
    bool stackSeen = false, stackExec = false, dynamicRead = false;
    bool rpath = false;
    for (const auto& ph : programs) {
        if (ph.p_type == PT_GNU_RELRO) facts.relro = true;
        if (ph.p_type == PT_GNU_STACK) {
            stackSeen = true;
            stackExec = stackExec || (ph.p_flags & PF_X) != 0;
        }
        if (ph.p_type == PT_DYNAMIC && !dynamicRead) {
            dynamicRead = true;
            if (ph.p_filesz > maxDynamicBytes) {
                facts.readable = false;
                continue;
            }
            std::vector<Elf64_Dyn> entries(static_cast<std::size_t>(ph.p_filesz / sizeof(Elf64_Dyn)));
            if (!readAt(fd.get(), ph.p_offset, size, entries.data(), entries.size() * sizeof(Elf64_Dyn))) {
                facts.readable = false;
                continue;
            }
            for (const auto& e : entries) {
                if (e.d_tag == DT_NULL) break;
                if (e.d_tag == DT_FLAGS && (e.d_un.d_val & DF_BIND_NOW)) facts.bindNow = true;
                if (e.d_tag == DT_FLAGS_1 && (e.d_un.d_val & DF_1_NOW)) facts.bindNow = true;
                if (e.d_tag == DT_BIND_NOW) facts.bindNow = true;
                if (e.d_tag == DT_RPATH || e.d_tag == DT_RUNPATH) rpath = true;
            }
        }
    }
    // Without a PT_GNU_STACK header the loader makes the stack executable.
    facts.nonExecStack = stackSeen && !stackExec;
    facts.noRunpath = !rpath;
    return facts;
}

ProcessFacts readProcess() {
    ProcessFacts facts;
    // The environment the process was started with, not the one it may have
    // edited since.
    auto started = readProcFile("/proc/self/environ");
    facts.noPreload = true;
    std::size_t start = 0;
    while (start < started.size()) {
        auto end = started.find('\0', start);
        if (end == std::string::npos) end = started.size();
        std::string_view entry(started.data() + start, end - start);
        if (entry.starts_with("LD_PRELOAD=") || entry.starts_with("LD_AUDIT=")) {
            auto value = entry.substr(entry.find('=') + 1);
            if (!value.empty()) facts.noPreload = false;
        }
        start = end + 1;
    }
    for (const char* name : {"LD_PRELOAD", "LD_AUDIT"}) {
        const char* value = std::getenv(name);
        if (value && *value) facts.noPreload = false;
    }

    auto status = readProcFile("/proc/self/status");
    auto at = status.find("\nTracerPid:");
    if (at != std::string::npos) {
        std::istringstream line(status.substr(at + 11, 32));
        long tracer = -1;
        if (line >> tracer) facts.notTraced = tracer == 0;
    }

    facts.nonDumpable = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0;
    return facts;
}

Facts inspect() { return Facts{readElf("/proc/self/exe"), readProcess()}; }

bool makeNonDumpable() { return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0; }

std::string describe(const Facts& f) {
    if (f.hardened()) return "hardened (PIE, full RELRO, non-executable stack, no run path; not preloaded, traced or dumpable)";
    std::vector<std::string> missing;
    if (!f.elf.readable) {
        missing.push_back("executable not readable");
    } else {
        if (!f.elf.pie) missing.push_back("not PIE");
        if (!f.elf.relro) missing.push_back("no RELRO");
        if (!f.elf.bindNow) missing.push_back("no BIND_NOW");
        if (!f.elf.nonExecStack) missing.push_back("executable stack");
        if (!f.elf.noRunpath) missing.push_back("RPATH or RUNPATH set");
    }
    if (!f.process.noPreload) missing.push_back("LD_PRELOAD or LD_AUDIT set");
    if (!f.process.notTraced) missing.push_back("traced");
    if (!f.process.nonDumpable) missing.push_back("dumpable");
    std::string out = "NOT hardened (";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i) out += ", ";
        out += missing[i];
    }
    return out + ")";
}

std::string describe() { return describe(inspect()); }

bool hardenedRuntime() { return inspect().hardened(); }

NotHardened notHardened(const Facts& f) {
    if (f.elf.hardened() && !f.process.notTraced)
        return {"Morvane is running under a tracer",
                "Stop the tracer (a debugger or strace) and start Morvane again on its own"};
    if (f.elf.hardened() && !f.process.noPreload)
        return {"Morvane was started with a library preloaded",
                "Start it again without LD_PRELOAD or LD_AUDIT set"};
    return {"This build is not hardened", "Build it again with scripts/run and start the new build"};
}

NotHardened notHardened() { return notHardened(inspect()); }

}  // namespace morvane::CodeIdentity

// What the running program is, and whether it runs hardened enough to be
// trusted with the paired-device list. Without code signatures the answer
// comes from the executable's own ELF file and the process's state:
// position-independent, full RELRO with immediate binding, a
// non-executable stack, no RPATH or RUNPATH, started without LD_PRELOAD or
// LD_AUDIT, not traced, and made non-dumpable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace morvane::CodeIdentity {

inline constexpr std::uint32_t runtimeStatusBit = 0x10000;

struct ElfFacts {
    bool readable = false;      // a well-formed 64-bit ELF file of this machine
    bool pie = false;           // ET_DYN
    bool relro = false;         // PT_GNU_RELRO present
    bool bindNow = false;       // DT_FLAGS BIND_NOW or DT_FLAGS_1 NOW
    bool nonExecStack = false;  // PT_GNU_STACK present without PF_X
    bool noRunpath = false;     // neither DT_RPATH nor DT_RUNPATH
    bool hardened() const { return readable && pie && relro && bindNow && nonExecStack && noRunpath; }
    bool operator==(const ElfFacts&) const = default;
};

struct ProcessFacts {
    bool noPreload = false;    // the starting environment had no LD_PRELOAD or LD_AUDIT
    bool notTraced = false;    // TracerPid is 0
    bool nonDumpable = false;  // PR_GET_DUMPABLE answers 0
    bool hardened() const { return noPreload && notTraced && nonDumpable; }
    bool operator==(const ProcessFacts&) const = default;
};

struct Facts {
    ElfFacts elf;
    ProcessFacts process;
    bool hardened() const { return elf.hardened() && process.hardened(); }
};

// Reads at most the headers it needs; any damage reads as not readable.
ElfFacts readElf(const std::filesystem::path& executable);
ProcessFacts readProcess();
Facts inspect();  // of /proc/self/exe and this process

// Makes this process non-dumpable (no core files, no ptrace attach by the
// same user). Call first thing at start; true when it took.
bool makeNonDumpable();

// One line for "--self-check" and the log: "hardened (" + what was checked
// + ")", or "NOT hardened (" + what is missing, comma-separated + ")".
std::string describe();
std::string describe(const Facts& facts);
bool hardenedRuntime();

// What a person is told when this process must not open the paired devices:
// a warning and what to do. A program built right but started under a
// tracer or with a preloaded library needs only a plain start again, not a
// new build nor a new list.
struct NotHardened {
    std::string warning;
    std::string advice;
};
NotHardened notHardened(const Facts& facts);
NotHardened notHardened();  // of this process

}  // namespace morvane::CodeIdentity

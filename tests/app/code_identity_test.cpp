#include "app/code_identity.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <functional>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/keychain_flag.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "morvane-app-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A minimal 64-bit ELF file with the chosen program headers and dynamic
// entries, enough for the reader to judge.
struct ElfLayout {
    std::uint16_t type = ET_DYN;
    bool relro = true;
    bool stack = true;
    bool stackExec = false;
    std::vector<Elf64_Dyn> dynamic = {{DT_FLAGS, {DF_BIND_NOW}}, {DT_FLAGS_1, {DF_1_NOW | DF_1_PIE}}};
};

std::vector<char> buildElf(const ElfLayout& layout) {
    std::vector<Elf64_Phdr> programs;
    auto dyn = layout.dynamic;
    dyn.push_back({DT_NULL, {0}});
    const std::size_t phoff = sizeof(Elf64_Ehdr);
    std::size_t count = 1 + (layout.relro ? 1 : 0) + (layout.stack ? 1 : 0);
    const std::size_t dynOff = phoff + count * sizeof(Elf64_Phdr);

    Elf64_Phdr dynamic{};
    dynamic.p_type = PT_DYNAMIC;
    dynamic.p_offset = dynOff;
    dynamic.p_filesz = dyn.size() * sizeof(Elf64_Dyn);
    programs.push_back(dynamic);
    if (layout.relro) {
        Elf64_Phdr relro{};
        relro.p_type = PT_GNU_RELRO;
        programs.push_back(relro);
    }
    if (layout.stack) {
        Elf64_Phdr stack{};
        stack.p_type = PT_GNU_STACK;
        stack.p_flags = PF_R | PF_W | (layout.stackExec ? PF_X : 0);
        programs.push_back(stack);
    }

    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = layout.type;
    header.e_machine = EM_X86_64;
    header.e_version = EV_CURRENT;
    header.e_phoff = phoff;
    header.e_ehsize = sizeof(Elf64_Ehdr);
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_phnum = static_cast<std::uint16_t>(programs.size());

    std::vector<char> out(sizeof header);
    std::memcpy(out.data(), &header, sizeof header);
    for (auto& ph : programs) {
        const char* p = reinterpret_cast<const char*>(&ph);
        out.insert(out.end(), p, p + sizeof ph);
    }
    for (auto& d : dyn) {
        const char* p = reinterpret_cast<const char*>(&d);
        out.insert(out.end(), p, p + sizeof d);
    }
    return out;
}

fs::path writeFile(const fs::path& path, const std::vector<char>& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(CodeIdentity, EveryMissingHardeningFlagMakesTheExecutableNotHardened) {
    TempFolder dir;
    using CodeIdentity::readElf;
    EXPECT_TRUE(readElf(writeFile(dir.path() / "good", buildElf({}))).hardened());

    // BIND_NOW may come from either flags entry.
    ElfLayout onlyFlags1;
    onlyFlags1.dynamic = {{DT_FLAGS_1, {DF_1_NOW}}};
    EXPECT_TRUE(readElf(writeFile(dir.path() / "flags1", buildElf(onlyFlags1))).hardened());

    ElfLayout notPie;
    notPie.type = ET_EXEC;
    auto facts = readElf(writeFile(dir.path() / "exec", buildElf(notPie)));
    EXPECT_TRUE(facts.readable);
    EXPECT_FALSE(facts.pie);
    EXPECT_FALSE(facts.hardened());

    ElfLayout lazy;
    lazy.dynamic = {{DT_FLAGS_1, {DF_1_PIE}}};
    EXPECT_FALSE(readElf(writeFile(dir.path() / "lazy", buildElf(lazy))).bindNow);

    ElfLayout noRelro;
    noRelro.relro = false;
    EXPECT_FALSE(readElf(writeFile(dir.path() / "norelro", buildElf(noRelro))).hardened());

    ElfLayout execStack;
    execStack.stackExec = true;
    EXPECT_FALSE(readElf(writeFile(dir.path() / "execstack", buildElf(execStack))).nonExecStack);

    ElfLayout noStackHeader;
    noStackHeader.stack = false;
    EXPECT_FALSE(readElf(writeFile(dir.path() / "nostack", buildElf(noStackHeader))).nonExecStack);

    for (auto tag : {DT_RPATH, DT_RUNPATH}) {
        ElfLayout withPath;
        withPath.dynamic.push_back({tag, {1}});
        EXPECT_FALSE(readElf(writeFile(dir.path() / "rpath", buildElf(withPath))).noRunpath);
    }
}

TEST(CodeIdentity, DamagedOrForeignFilesReadAsNotHardenedWithoutCrashing) {
    TempFolder dir;
    using CodeIdentity::readElf;
    auto good = buildElf({});
    EXPECT_FALSE(readElf(dir.path() / "missing").readable);
    EXPECT_FALSE(readElf(dir.path()).readable);  // a folder
    EXPECT_FALSE(readElf(writeFile(dir.path() / "empty", {})).readable);
    EXPECT_FALSE(readElf(writeFile(dir.path() / "text", {'#', '!', '/', 'b', 'i', 'n'})).readable);

    // Every truncation of a good file: never a crash, never hardened.
    for (std::size_t n = 0; n < good.size(); ++n) {
        std::vector<char> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(readElf(writeFile(dir.path() / "cut", cut)).hardened()) << n;
    }

    // Program headers said to lie far beyond the end, or absurdly many.
    auto far = good;
    Elf64_Ehdr header;
    std::memcpy(&header, far.data(), sizeof header);
    header.e_phoff = 1ull << 60;
    std::memcpy(far.data(), &header, sizeof header);
    EXPECT_FALSE(readElf(writeFile(dir.path() / "far", far)).readable);
    header.e_phoff = sizeof(Elf64_Ehdr);
    header.e_phnum = 0xffff;
    std::memcpy(far.data(), &header, sizeof header);
    EXPECT_FALSE(readElf(writeFile(dir.path() / "many", far)).readable);

    auto thirtyTwo = good;
    thirtyTwo[EI_CLASS] = ELFCLASS32;
    EXPECT_FALSE(readElf(writeFile(dir.path() / "elf32", thirtyTwo)).readable);
}

TEST(CodeIdentity, ThisTestProgramReadsAsBuiltAndNeedsNonDumpableToBeHardened) {
    auto elf = CodeIdentity::readElf("/proc/self/exe");
    ASSERT_TRUE(elf.readable);
#if defined(__SSP_STRONG__)
    // The hardened build (which also turns on the strong stack protector)
    // must read as hardened.
    EXPECT_TRUE(elf.hardened());
#endif
    // The rest runs in a child so this process keeps its dump setting.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 0;
        auto before = CodeIdentity::inspect();
        if (before.process.nonDumpable) code |= 1;
        if (CodeIdentity::hardenedRuntime()) code |= 2;
        if (CodeIdentity::describe().find("dumpable") == std::string::npos) code |= 4;
        if (!CodeIdentity::makeNonDumpable()) code |= 8;
        auto after = CodeIdentity::inspect();
        if (!after.process.nonDumpable || !after.process.notTraced) code |= 16;
        if (CodeIdentity::hardenedRuntime() != after.elf.hardened()) code |= 32;
        if (after.hardened() && CodeIdentity::describe().rfind("hardened (", 0) != 0) code |= 64;
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A program built right needs only a start of its own when a tracer or a
// preloaded library is what stops it; anything missing from the build
// needs a new build, whatever else is wrong.
TEST(CodeIdentity, WhatAPersonIsToldFollowsWhatIsWrong) {
    CodeIdentity::Facts f;
    f.elf = {true, true, true, true, true, true};
    f.process = {true, true, true};
    struct Case {
        const char* what;
        std::function<void(CodeIdentity::Facts&)> change;
        const char* advice;
    };
    const Case cases[] = {
        {"traced", [](auto& x) { x.process.notTraced = false; }, "Stop the tracer"},
        {"preloaded", [](auto& x) { x.process.noPreload = false; }, "Start it again without LD_PRELOAD"},
        {"traced and preloaded", [](auto& x) { x.process.notTraced = x.process.noPreload = false; }, "Stop the tracer"},
        {"not PIE", [](auto& x) { x.elf.pie = false; }, "Build it again"},
        {"not PIE, traced", [](auto& x) { x.elf.pie = false; x.process.notTraced = false; }, "Build it again"},
        {"dumpable", [](auto& x) { x.process.nonDumpable = false; }, "Build it again"},
    };
    for (const auto& c : cases) {
        auto facts = f;
        c.change(facts);
        EXPECT_EQ(CodeIdentity::notHardened(facts).advice.rfind(c.advice, 0), 0u) << c.what;
    }
}

TEST(KeychainFlag, OnlyExactlyOnReadsAsOn) {
    TempFolder dir;
    KeychainFlag flag(KeychainFlag::hideScreenAccount, KeychainFlag::hideScreenLabel, dir.path());
    EXPECT_FALSE(flag.isOn());  // never set
    EXPECT_TRUE(flag.set(true));
    EXPECT_TRUE(flag.isOn());
    EXPECT_TRUE(flag.set(false));
    EXPECT_FALSE(flag.isOn());

    KeychainDeviceStorage item(KeychainDeviceStorage::defaultService, KeychainFlag::hideScreenAccount,
                               KeychainFlag::hideScreenLabel, dir.path());
    EXPECT_EQ(item.load(), (Bytes{'o', 'f', 'f'}));
    for (const Bytes& other : {Bytes{'O', 'N'}, Bytes{'o', 'n', '\n'}, Bytes{}, Bytes{'o'}}) {
        item.save(other);
        EXPECT_FALSE(flag.isOn());
    }

    // A flag whose folder can't hold items reads off and can't be set.
    auto blocked = dir.path() / "blocked";
    std::ofstream(blocked) << "not a folder";
    KeychainFlag broken(KeychainFlag::hideScreenAccount, KeychainFlag::hideScreenLabel, blocked);
    EXPECT_FALSE(broken.set(true));
    EXPECT_FALSE(broken.isOn());
}

}  // namespace
}  // namespace morvane

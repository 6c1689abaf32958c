// The names the built libraries export: exactly the host's interface, read
// from the dynamic symbol table of the files themselves (64-bit
// little-endian ELF: x86-64 and AArch64).
#include <dlfcn.h>
#include <elf.h>
#include <string.h>

#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

struct Exported {
    unsigned char type;  // STT_*
    unsigned char bind;  // STB_*
};

// name -> kind of every defined, globally visible dynamic symbol; error
// says why the file could not be read.
std::map<std::string, Exported> DynamicExports(const std::string& path, std::string* error)
{
    std::map<std::string, Exported> out;
    const std::string image = dcjtest::ReadFile(path);
    auto fits = [&image](uint64_t offset, uint64_t size) {
        return offset <= image.size() && size <= image.size() - offset;
    };
    auto read = [&image](uint64_t offset, void* to, size_t size) { memcpy(to, image.data() + offset, size); };

    Elf64_Ehdr eh;
    if (!fits(0, sizeof(eh))) return *error = "not an ELF file", out;
    read(0, &eh, sizeof(eh));
    if (memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) return *error = "not an ELF file", out;
    if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB) {
        return *error = "not 64-bit little-endian", out;
    }
    if (eh.e_machine != EM_X86_64 && eh.e_machine != EM_AARCH64) {
        return *error = "machine " + std::to_string(eh.e_machine), out;
    }
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || !fits(eh.e_shoff, uint64_t(eh.e_shnum) * sizeof(Elf64_Shdr))) {
        return *error = "bad section headers", out;
    }
    auto section = [&](size_t i) {
        Elf64_Shdr sh;
        read(eh.e_shoff + i * sizeof(Elf64_Shdr), &sh, sizeof(sh));
        return sh;
    };

    bool found = false;
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const Elf64_Shdr dynsym = section(i);
        if (dynsym.sh_type != SHT_DYNSYM) continue;
        found = true;
        if (dynsym.sh_link >= eh.e_shnum || dynsym.sh_entsize != sizeof(Elf64_Sym) ||
            !fits(dynsym.sh_offset, dynsym.sh_size)) {
            return *error = "bad .dynsym", out;
        }
        const Elf64_Shdr strtab = section(dynsym.sh_link);
        if (!fits(strtab.sh_offset, strtab.sh_size)) return *error = "bad .dynstr", out;

        for (uint64_t at = sizeof(Elf64_Sym); at + sizeof(Elf64_Sym) <= dynsym.sh_size; at += sizeof(Elf64_Sym)) {
            Elf64_Sym sym;
            read(dynsym.sh_offset + at, &sym, sizeof(sym));
            const unsigned char bind = ELF64_ST_BIND(sym.st_info);
            const unsigned char vis = ELF64_ST_VISIBILITY(sym.st_other);
            if (sym.st_shndx == SHN_UNDEF) continue;
            if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
            if (vis != STV_DEFAULT && vis != STV_PROTECTED) continue;
            if (sym.st_name >= strtab.sh_size) return *error = "bad symbol name", out;
            const char* name = image.data() + strtab.sh_offset + sym.st_name;
            const size_t maxLen = strtab.sh_size - sym.st_name;
            if (strnlen(name, maxLen) == maxLen) return *error = "unterminated symbol name", out;
            out[name] = Exported{static_cast<unsigned char>(ELF64_ST_TYPE(sym.st_info)), bind};
        }
    }
    if (!found) *error = "no .dynsym";
    return out;
}

std::string Describe(const std::set<std::string>& names)
{
    std::string text;
    for (const auto& n : names) text += "\n  " + n;
    return text.empty() ? " (none)" : text;
}

void ExpectExactly(const std::string& path, const std::set<std::string>& functions,
                   const std::set<std::string>& objects)
{
    std::string error;
    const auto exported = DynamicExports(path, &error);
    ASSERT_EQ(error, "") << path;

    std::set<std::string> extra, missing;
    for (const auto& kv : exported) {
        if (!functions.count(kv.first) && !objects.count(kv.first)) extra.insert(kv.first);
    }
    for (const auto* wanted : {&functions, &objects}) {
        for (const auto& name : *wanted) {
            if (!exported.count(name)) missing.insert(name);
        }
    }
    EXPECT_TRUE(extra.empty()) << "exported but not part of the interface:" << Describe(extra);
    EXPECT_TRUE(missing.empty()) << "part of the interface but not exported:" << Describe(missing);

    for (const auto& kv : exported) {
        if (functions.count(kv.first)) {
            EXPECT_EQ(kv.second.type, STT_FUNC) << kv.first;
        } else if (objects.count(kv.first)) {
            EXPECT_EQ(kv.second.type, STT_OBJECT) << kv.first;
        }
        if (!extra.count(kv.first)) {
            EXPECT_EQ(kv.second.bind, STB_GLOBAL) << kv.first;
        }
    }

    // And the loader agrees: every name resolves through a host's handle.
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const auto* wanted : {&functions, &objects}) {
        for (const auto& name : *wanted) EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
    }
}

class exportsTable : public ::testing::Test {};

TEST_F(exportsTable, DriverExportsExactlyTheHostInterface)
{
    const std::set<std::string> functions = {
        "doCommand",
        "getKeyValueToMap",
        "JsonToString",
        "getRMBCount",
        "clearRMBCount",
        "getDevStatus",
        "GBKToUtf8",
        "GB2312ToUtf8",
        "TestFuncAddr",
        // getAllFSNFiles, clearAllFSNFiles and setTime take std::string.
        "_Z14getAllFSNFilesNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES4_S4_S4_S4_S4_S4_S4_",
        "_Z16clearAllFSNFilesNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES4_S4_",
        "_Z7setTimeNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES4_S4_S4_",
    };
    const std::set<std::string> objects = {
        "device", "mutex", "lib_dl", "Info", "Warn", "Error",
        "_Z6pinMapB5cxx11",  // pinMap, tagged by the std::string ABI
    };
    ExpectExactly(DCJ_DRIVER_SO, functions, objects);
}

TEST_F(exportsTable, LogLibraryExportsExactlyItsFunctions)
{
    ExpectExactly(DCJ_VDXLOG_SO, {"LogInfo", "LogWarn", "LogError", "LogHold"}, {});
}

}  // namespace

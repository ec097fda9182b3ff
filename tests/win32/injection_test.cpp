// Windows only: the real Tesrak.exe with one kernel32 call at a time made to
// fail. The program is started under the debug API; at the loader's first
// breakpoint, with its imports bound, the import-table slot of the call is
// pointed at a stub that sets the last-error value and returns failure.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

const std::string earlier = "the earlier backup\r\n";
const std::string current = "the file as it is now, longer than before\r\n";

// The address, relative to the image, of the import-table slot through
// which Tesrak.exe calls the kernel32 function; read from the file itself.
DWORD import_slot(const char* function) {
    std::ifstream in(tesrak_windows_path(), std::ios::binary);
    const std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
    const auto at = [&](DWORD address) -> const char* {
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
            if (address >= section->VirtualAddress && address < section->VirtualAddress + section->SizeOfRawData) {
                return image.data() + section->PointerToRawData + (address - section->VirtualAddress);
            }
        }
        throw std::runtime_error("address outside the image");
    };
    const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(imports)); library->Name != 0;
         ++library) {
        if (_stricmp(at(library->Name), "kernel32.dll") != 0) continue;
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(at(library->OriginalFirstThunk));
        for (DWORD i = 0; names[i].u1.AddressOfData != 0; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.AddressOfData)) continue;
            const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(
                at(static_cast<DWORD>(names[i].u1.AddressOfData)));
            if (std::strcmp(by_name->Name, function) == 0) {
                return library->FirstThunk + i * static_cast<DWORD>(sizeof(IMAGE_THUNK_DATA));
            }
        }
    }
    throw std::runtime_error(std::string("Tesrak.exe does not import ") + function);
}

struct Call {
    const char* function;
    DWORD argument_bytes;
    DWORD failure;    // what the function returns when it fails
    int occurrences;  // how many of its calls in a run are made to fail, one run each
};

template <class Value>
void put(std::vector<unsigned char>& code, Value value) {
    for (std::size_t i = 0; i < sizeof value; ++i) {
        code.push_back(static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * i)));
    }
}

// Machine code that passes every call on to the system's function but the
// one numbered occurrence, which sets the thread's last-error value in its
// environment block and returns failure, taking the arguments off the stack
// as the system's own function would. Its counter and the system function's
// address follow the code.
std::vector<unsigned char> failing_stub(const Call& call, DWORD error, int occurrence,
                                        std::uintptr_t at, std::uintptr_t original) {
    std::vector<unsigned char> code{0xFF, 0x0D};  // dec dword [counter]
#ifdef _WIN64
    constexpr std::int32_t counter = 34;
    (void)at;
    put(code, std::int32_t{counter - 6});  // relative to the next instruction
    code.insert(code.end(), {0x74, 0x06, 0xFF, 0x25});  // jz fail; jmp qword [original]
    put(code, std::int32_t{counter + 4 - 14});
    code.insert(code.end(), {0x65, 0xC7, 0x04, 0x25, 0x68, 0, 0, 0});  // fail: mov dword gs:[0x68], error
    put(code, error);
    code.insert(code.end(), {0x48, 0xC7, 0xC0});  // mov rax, sign-extended failure
    put(code, call.failure);
    code.push_back(0xC3);  // ret
#else
    constexpr std::uint32_t counter = 33;
    put(code, static_cast<std::uint32_t>(at + counter));
    code.insert(code.end(), {0x74, 0x06, 0xFF, 0x25});  // jz fail; jmp dword [original]
    put(code, static_cast<std::uint32_t>(at + counter + 4));
    code.insert(code.end(), {0x64, 0xC7, 0x05, 0x34, 0, 0, 0});  // fail: mov dword fs:[0x34], error
    put(code, error);
    code.push_back(0xB8);  // mov eax, failure
    put(code, call.failure);
    code.insert(code.end(), {0xC2, static_cast<unsigned char>(call.argument_bytes), 0});  // ret arguments
#endif
    put(code, static_cast<std::int32_t>(occurrence));
    put(code, original);
    return code;
}

// One call made to fail: its import slot, which of its calls, with what error.
struct Injection {
    DWORD slot;
    Call call;
    DWORD error;
    int occurrence;
};

// The debugger's loop: at the first breakpoint each slot is pointed at its
// stub, in order, so that a later stub on the same slot passes the calls it
// does not fail on to the earlier one; every other exception goes back to the
// program.
void debug_with_stubs(const std::vector<Injection>& injections) {
    HANDLE process = nullptr;
    BYTE* base = nullptr;
    bool patched = false;
    for (;;) {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, INFINITE)) throw std::runtime_error("WaitForDebugEvent");
        DWORD answer = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            process = event.u.CreateProcessInfo.hProcess;
            base = static_cast<BYTE*>(event.u.CreateProcessInfo.lpBaseOfImage);
            CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT:
            if (patched || event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                answer = DBG_EXCEPTION_NOT_HANDLED;
                break;
            }
            for (const Injection& injection : injections) {
                constexpr std::size_t room = 64;
                const DWORD slot = injection.slot;
                void* code = VirtualAllocEx(process, nullptr, room, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
                std::uintptr_t original = 0;
                DWORD kept = 0;
                if (code == nullptr || !ReadProcessMemory(process, base + slot, &original, sizeof original, nullptr)) {
                    throw std::runtime_error("cannot read the import table");
                }
                const std::vector<unsigned char> stub =
                    failing_stub(injection.call, injection.error, injection.occurrence,
                                 reinterpret_cast<std::uintptr_t>(code), original);
                if (!WriteProcessMemory(process, code, stub.data(), stub.size(), nullptr) ||
                    !VirtualProtectEx(process, base + slot, sizeof code, PAGE_READWRITE, &kept) ||
                    !WriteProcessMemory(process, base + slot, &code, sizeof code, nullptr)) {
                    throw std::runtime_error("cannot patch the import table");
                }
                FlushInstructionCache(process, code, room);
            }
            patched = true;
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, answer);
        if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
    }
    if (!patched) throw std::runtime_error("the program reached no breakpoint");
}

struct Case {
    std::string switches;
    bool earlier_backup;
    bool source_exists;
    bool read_only;  // a read-only source, whose copy has to be flushed all the same
    bool other_volume;  // the move's rename fails as across volumes, so it copies
};

// What may hold after a run in which one call failed; a failed console write
// leaves its own bytes out of the output.
void check_outcome(const Case& c, const Sandbox& sandbox, const ProgramRun& result, bool writes_whole) {
    const std::vector<std::string> names = sandbox.backups();
    const bool copy = c.switches.find("-copy") != std::string::npos;
    if (result.exit_code == 0) {
        ASSERT_EQ(names.size(), 1U);
        EXPECT_EQ(sandbox.read("backup/" + names[0]), current);
        EXPECT_EQ(sandbox.exists("report.txt"), copy);
        return;
    }
    EXPECT_TRUE(result.exit_code == 2 || result.exit_code == 255 || (c.source_exists && result.exit_code == 3))
        << "status " << result.exit_code;
    const std::string message =
        result.exit_code == 2 ? "File does not exist: report.txt\r\n" : "Backup failed: backup\\report.";
    if (writes_whole) {
        EXPECT_TRUE(result.exit_code == 255 ? result.output.empty() : result.output.starts_with(message))
            << result.output;
    }
    if (c.source_exists) {
        EXPECT_EQ(sandbox.read("report.txt"), current);
    }
    ASSERT_EQ(names.size(), c.earlier_backup ? 1U : 0U) << "left in the folder: " << names.front();
    if (c.earlier_backup) {
        EXPECT_EQ(sandbox.read("backup/" + names[0]), earlier);
    }
}

void run_case(const Case& c) {
    const Call rename{"MoveFileExA", 12, FALSE, 1};
    const std::vector<Call> calls{
        {"CreateDirectoryA", 8, FALSE, 1},
        {"GetFileAttributesA", 4, INVALID_FILE_ATTRIBUTES, 2},
        {"CopyFileA", 12, FALSE, 1},
        {"SetFileAttributesA", 8, FALSE, 2},
        {"CreateFileA", 28, static_cast<DWORD>(-1), 1},  // INVALID_HANDLE_VALUE
        {"FlushFileBuffers", 4, FALSE, 1},
        rename,
        {"DeleteFileA", 4, FALSE, 1},
        {"WriteFile", 20, FALSE, 2},
    };
    const Injection across{import_slot(rename.function), rename, ERROR_NOT_SAME_DEVICE, 1};
    std::map<int, int> statuses;
    for (const Call& call : calls) {
        const DWORD slot = import_slot(call.function);
        // Across volumes the second rename is the copy's, to the target.
        const int occurrences = call.occurrences + (c.other_volume && slot == across.slot ? 1 : 0);
        for (int occurrence = 1; occurrence <= occurrences; ++occurrence) {
            for (const DWORD error : {5, 112, 7, 9, 10}) {
                SCOPED_TRACE(std::string(call.function) + " call " + std::to_string(occurrence) +
                             " failing with " + std::to_string(error));
                const Sandbox sandbox;
                if (c.earlier_backup) {
                    sandbox.write("report.txt", earlier);
                    ASSERT_EQ(run_tesrak({"report.txt", c.switches}, sandbox.path()).exit_code, 0);
                }
                if (c.source_exists) sandbox.write("report.txt", current);
                const std::string path = (sandbox.path() / "report.txt").string();
                if (c.read_only) SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
                std::vector<Injection> injections;
                if (c.other_volume) injections.push_back(across);
                injections.push_back({slot, call, error, occurrence});
                const ProgramRun result =
                    run_debugged("\"" + tesrak_windows_path() + "\" report.txt " + c.switches, sandbox.path(),
                                 [&] { debug_with_stubs(injections); });
                check_outcome(c, sandbox, result, std::string_view(call.function) != "WriteFile");
                ++statuses[result.exit_code];
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            }
        }
    }
    // The stubs did reach the program.
    EXPECT_GT(statuses[255], 0);
    EXPECT_GT(statuses[c.source_exists ? 3 : 2], 0);
    // Across volumes the move copied where nothing else failed.
    if (c.other_volume) {
        EXPECT_GT(statuses[0], 0);
    }
}

TEST(WindowsInjectedFailures, CopyOfAReadOnlyFileToANewName) {
    run_case({"-copy", false, true, true, false});
}

TEST(WindowsInjectedFailures, CopyOverAnEarlierBackup) {
    run_case({"-copy -unique=date", true, true, false, false});
}

TEST(WindowsInjectedFailures, Move) {
    run_case({"", false, true, false, false});
}

TEST(WindowsInjectedFailures, MoveAcrossVolumes) {
    run_case({"", false, true, false, true});
}

TEST(WindowsInjectedFailures, MissingSource) {
    run_case({"-copy", false, false, false, false});
}

}  // namespace

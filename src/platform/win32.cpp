// The platform layer on Windows: kernel32 and oleaut32, ANSI throughout.
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

HANDLE standard_output = INVALID_HANDLE_VALUE;

// Ctrl+C, Ctrl+Break and closing the console do not stop a backup half-way.
BOOL WINAPI ignore_console_events(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT
               ? TRUE
               : FALSE;
}

// Another program that loads Tesrak.exe for its exports gets a module whose
// imports the system left unbound and whose start-up code never ran. The code
// below binds them itself, calling nothing through the import table and no C
// runtime function until that is done.

// The parts of the system's loader records that are read here; the natural
// alignment of each field gives the layout of 32-bit and of 64-bit Windows.
struct LoaderString {
    USHORT length;  // in bytes
    USHORT capacity;
    const wchar_t* text;
};

struct LoaderEntry {
    LIST_ENTRY load_order;
    LIST_ENTRY memory_order;
    LIST_ENTRY initialization_order;
    BYTE* base;
    void* entry_point;
    ULONG image_size;
    LoaderString full_name;
    LoaderString base_name;
};

struct LoaderLists {
    ULONG length;
    ULONG initialized;
    void* handle;
    LIST_ENTRY load_order;
};

struct ProcessBlock {
    BYTE flags[4];
    void* mutant;
    BYTE* image_base;
    LoaderLists* loader;
};

using LoadLibraryCall = HMODULE(WINAPI*)(LPCSTR);
using GetProcAddressCall = FARPROC(WINAPI*)(HMODULE, LPCSTR);
using VirtualProtectCall = BOOL(WINAPI*)(LPVOID, SIZE_T, DWORD, PDWORD);

const ProcessBlock* process_block() {
    const ProcessBlock* block;
#ifdef _WIN64
    asm("movq %%gs:0x60, %0" : "=r"(block));
#else
    asm("movl %%fs:0x30, %0" : "=r"(block));
#endif
    return block;
}

char folded(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// True when the module's name is the given name and ".dll", in any case.
bool has_module_name(const LoaderString& name, const char* wanted, std::size_t wanted_length) {
    constexpr char suffix[] = ".dll";
    const std::size_t length = name.length / sizeof(wchar_t);
    if (length != wanted_length + 4) return false;
    for (std::size_t i = 0; i < length; ++i) {
        const wchar_t c = name.text[i];
        const char expected = i < wanted_length ? wanted[i] : suffix[i - wanted_length];
        if (c > 127 || folded(static_cast<char>(c)) != folded(expected)) return false;
    }
    return true;
}

const BYTE* loaded_module(const char* name, std::size_t length) {
    const LIST_ENTRY* head = &process_block()->loader->load_order;
    for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
        const auto* entry = reinterpret_cast<const LoaderEntry*>(link);
        if (has_module_name(entry->base_name, name, length)) return entry->base;
    }
    return nullptr;
}

const IMAGE_DATA_DIRECTORY& directory(const BYTE* module, int which) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(module + dos->e_lfanew);
    return nt->OptionalHeader.DataDirectory[which];
}

bool same_text(const char* a, const char* b) {
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// A function exported by name from a loaded module, following forwarders
// ("KERNELBASE.LoadLibraryA") to the module that really holds it.
void* exported_function(const BYTE* module, const char* name) {
    for (int hops = 0; module != nullptr && hops < 4; ++hops) {
        const IMAGE_DATA_DIRECTORY& exports = directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
        const auto* table = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(module + exports.VirtualAddress);
        const auto* names = reinterpret_cast<const DWORD*>(module + table->AddressOfNames);
        const auto* ordinals = reinterpret_cast<const WORD*>(module + table->AddressOfNameOrdinals);
        const auto* functions = reinterpret_cast<const DWORD*>(module + table->AddressOfFunctions);
        DWORD address = 0;
        for (DWORD i = 0; i < table->NumberOfNames && address == 0; ++i) {
            if (same_text(reinterpret_cast<const char*>(module + names[i]), name)) {
                address = functions[ordinals[i]];
            }
        }
        if (address == 0) return nullptr;
        if (address < exports.VirtualAddress || address >= exports.VirtualAddress + exports.Size) {
            return const_cast<BYTE*>(module + address);
        }
        const char* forward = reinterpret_cast<const char*>(module + address);
        std::size_t dot = 0;
        while (forward[dot] != '.' && forward[dot] != '\0') ++dot;
        if (forward[dot] != '.') return nullptr;
        module = loaded_module(forward, dot);
        name = forward + dot + 1;
    }
    return nullptr;
}

bool bind_imports(BYTE* module) {
    const BYTE* kernel32 = loaded_module("kernel32", 8);
    if (kernel32 == nullptr) return false;
    const auto load = reinterpret_cast<LoadLibraryCall>(exported_function(kernel32, "LoadLibraryA"));
    const auto find = reinterpret_cast<GetProcAddressCall>(exported_function(kernel32, "GetProcAddress"));
    const auto protect = reinterpret_cast<VirtualProtectCall>(exported_function(kernel32, "VirtualProtect"));
    if (load == nullptr || find == nullptr || protect == nullptr) return false;
    const IMAGE_DATA_DIRECTORY& imports = directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(module + imports.VirtualAddress);
         library->Name != 0; ++library) {
        const HMODULE handle = load(reinterpret_cast<const char*>(module + library->Name));
        if (handle == nullptr) return false;
        const DWORD lookup_table = library->OriginalFirstThunk != 0 ? library->OriginalFirstThunk
                                                                    : library->FirstThunk;
        const auto* wanted = reinterpret_cast<const IMAGE_THUNK_DATA*>(module + lookup_table);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(module + library->FirstThunk);
        for (std::size_t i = 0; wanted[i].u1.AddressOfData != 0; ++i) {
            const ULONG_PTR entry = wanted[i].u1.AddressOfData;
            const char* by = IMAGE_SNAP_BY_ORDINAL(entry)
                                 ? reinterpret_cast<const char*>(IMAGE_ORDINAL(entry))
                                 : reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(module + entry)->Name;
            const FARPROC function = find(handle, by);
            if (function == nullptr) return false;
            DWORD kept = 0;
            if (!protect(&slots[i], sizeof slots[i], PAGE_READWRITE, &kept)) return false;
            slots[i].u1.Function = reinterpret_cast<ULONG_PTR>(function);
            protect(&slots[i], sizeof slots[i], kept, &kept);
        }
    }
    return true;
}

// A name in the target's folder for a copy while it is written: random, and
// recognisable as no backup (".tesrak-" and eight hexadecimal digits).
std::string temporary_path(const std::string& target) {
    static std::uint64_t state = 0;
    state += __builtin_ia32_rdtsc() + 0x9E3779B97F4A7C15ULL;
    std::uint64_t mixed = (state ^ (state >> 31)) * 0xBF58476D1CE4E5B9ULL;
    mixed ^= mixed >> 29;
    const std::size_t slash = target.find_last_of("\\/");
    std::string path = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    path += ".tesrak-";
    for (int i = 0; i < 8; ++i, mixed >>= 4) path += "0123456789abcdef"[mixed & 15];
    return path;
}

// Flushes a file to the disk. That takes a handle with write access, which a
// read-only file (CopyFileA keeps the attribute) gives only for the moment
// its attribute is cleared.
bool flush_file(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (read_only && !SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return false;
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    bool flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file) != FALSE;
    if (file != INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        SetLastError(error);
    }
    if (read_only && flushed) flushed = SetFileAttributesA(path.c_str(), attributes) != FALSE;
    return flushed;
}

constexpr int temporary_name_tries = 100;

// Removes a copy that is not to stay a backup, read-only or not, and keeps
// the error of the failure that made it useless.
void remove_staged(const std::string& path) {
    const DWORD error = GetLastError();
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
    SetLastError(error);
}

// The last-error value after a call, cleared before it: on Windows that value
// alone tells whether the call failed, whatever it returned.
template <class Call>
auto with_last_error(Call call) {
    SetLastError(0);
    auto result = call();
    return std::pair{result, static_cast<platform::ErrorCode>(GetLastError())};
}

enum BindingState { unbound, binding, bound, unbindable };
constinit std::atomic<int> binding_state{unbound};

}  // namespace

namespace platform {

void start_up(int, char**) {
    standard_output = GetStdHandle(STD_OUTPUT_HANDLE);
    SetConsoleCtrlHandler(ignore_console_events, TRUE);
}

std::string command_line() {
    return GetCommandLineA();
}

Error write_stdout(std::string_view bytes) {
    DWORD written = 0;
    return Error{with_last_error([&] {
                     return WriteFile(standard_output, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                      nullptr);
                 }).second};
}

ErrorMode enter_quiet_error_mode() {
    return SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

void restore_error_mode(ErrorMode kept) {
    SetErrorMode(kept);
}

bool is_fatal_error(ErrorCode error) {
    return error == ERROR_ARENA_TRASHED || error == ERROR_INVALID_BLOCK ||
           error == ERROR_BAD_ENVIRONMENT;
}

void exit_process(int code) {
    ExitProcess(static_cast<UINT>(code));
}

Error create_folder(const std::string& path) {
    return Error{with_last_error([&] { return CreateDirectoryA(path.c_str(), nullptr); }).second};
}

Outcome<bool> path_exists(const std::string& path) {
    const auto [attributes, error] = with_last_error([&] { return GetFileAttributesA(path.c_str()); });
    return {attributes != INVALID_FILE_ATTRIBUTES, error};
}

namespace {

// The copy goes into a new file beside the target, is flushed, and only then
// takes the target's name in one step: no partial file ever has the target's
// name. Replacing, an earlier backup of that name is replaced, and a symbolic
// link under that name is replaced rather than written through; otherwise a
// file of that name makes it fail. Whatever fails, the temporary file is
// removed and the error of the failure kept.
bool copy_file_staged(const std::string& source, const std::string& target, bool replacing) {
    const DWORD naming = replacing ? MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH : MOVEFILE_WRITE_THROUGH;
    for (int i = 0; i < temporary_name_tries; ++i) {
        const std::string staged = temporary_path(target);
        if (!CopyFileA(source.c_str(), staged.c_str(), TRUE)) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            remove_staged(staged);
            return false;
        }
        if (flush_file(staged) && MoveFileExA(staged.c_str(), target.c_str(), naming)) return true;
        remove_staged(staged);
        return false;
    }
    return false;
}

// A rename on one volume. To another volume, a copy that is flushed before the
// source is removed; a source that cannot be removed has its copy removed
// again, so that a failed move leaves the source where it was and no backup.
bool move_file_without_replacing(const std::string& source, const std::string& target) {
    if (MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE || !copy_file_staged(source, target, false)) return false;
    if (DeleteFileA(source.c_str())) return true;
    remove_staged(target);
    return false;
}

// How many transfers were made, in order, before the first that failed, and
// the last-error value the transfers left.
template <class Make>
Batch made_in_order(std::span<const Transfer> transfers, Make make) {
    const auto [made, error] = with_last_error([&] {
        std::size_t count = 0;
        while (count < transfers.size() && make(transfers[count].source, transfers[count].target)) ++count;
        return count;
    });
    return Batch{made, error};
}

}  // namespace

Batch copy_files(std::span<const Transfer> transfers, bool replace) {
    return made_in_order(transfers, [replace](const std::string& source, const std::string& target) {
        return copy_file_staged(source, target, replace);
    });
}

bool nothing_there(ErrorCode error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool name_taken(ErrorCode error) {
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

Batch move_files_without_replacing(std::span<const Transfer> transfers) {
    return made_in_order(transfers, move_file_without_replacing);
}

mivo_systemtime local_time() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return mivo_systemtime{now.wYear, now.wMonth,  now.wDayOfWeek, now.wDay,
                           now.wHour, now.wMinute, now.wSecond,    now.wMilliseconds};
}

mivo_text new_result_text(std::string_view text) {
    // One byte a character: the length prefix counts the stamp's bytes.
    BSTR result = SysAllocStringByteLen(nullptr, static_cast<UINT>(text.size()));
    if (result == nullptr) return nullptr;
    auto* bytes = reinterpret_cast<char*>(result);
    for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = text[i];
    return result;
}

std::string release_result_text(mivo_text text) {
    std::string result(reinterpret_cast<const char*>(text), SysStringByteLen(text));
    SysFreeString(text);
    return result;
}

bool bind_own_imports() {
    int state = binding_state.load(std::memory_order_acquire);
    if (state == unbound && binding_state.compare_exchange_strong(state, binding)) {
        // The whole image starts at __ImageBase, not just the header the symbol names.
        BYTE* module = nullptr;
        asm("" : "=r"(module) : "0"(&__ImageBase));
        const bool usable = process_block()->image_base == module || bind_imports(module);
        binding_state.store(usable ? bound : unbindable, std::memory_order_release);
        return usable;
    }
    // Another thread is binding: wait for it.
    while ((state = binding_state.load(std::memory_order_acquire)) == binding) {
        asm volatile("pause");
    }
    return state == bound;
}

}  // namespace platform

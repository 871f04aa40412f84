// Loaded by Wine into the program under test when the driver hooks its GUI
// thread. Answers the driver's queries from inside that thread, where window
// handles, fonts and icons mean what the program means by them.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>

#include "core/JoinLines.h"
#include "hook_protocol.h"

using namespace ostrada_e2e;

namespace {

constexpr int kTitleStripId = 1;
constexpr int kLabelId = 2;
constexpr int kTextBoxId = 3;
constexpr int kGoId = 4;

UINT QueryMessage() {
    static UINT message = RegisterWindowMessageW(kQueryMessage);
    return message;
}

HWND Control(HWND form, int id) {
    if (id == kLabelId) {
        HWND strip = GetDlgItem(form, kTitleStripId);
        return strip != nullptr ? GetDlgItem(strip, kLabelId) : nullptr;
    }
    return GetDlgItem(form, id);
}

Status AnswerFonts(HWND form, Header&, void* data) {
    auto* answer = static_cast<FontAnswer*>(data);
    std::memset(answer, 0, sizeof *answer);
    for (int slot = 0; slot < kFontSlots; ++slot) {
        HWND window = slot == 0 ? form : Control(form, slot);
        FontRecord& record = answer->slot[slot];
        if (window == nullptr) continue;
        record.windowFound = 1;
        auto font = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
        if (font == nullptr) continue;
        record.hasFont = 1;
        record.objectOk = GetObjectW(font, sizeof record.font, &record.font) == sizeof record.font;
    }
    return Status::Ok;
}

Status AnswerPlacement(HWND form, Header&, void* data) {
    auto* answer = static_cast<PlacementAnswer*>(data);
    std::memset(answer, 0, sizeof *answer);
    answer->placement.length = sizeof answer->placement;
    if (!GetWindowPlacement(form, &answer->placement)) return Status::NoWindow;
    answer->iconic = IsIconic(form);
    answer->visible = IsWindowVisible(form);
    GetWindowRect(form, &answer->windowRect);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(MonitorFromWindow(form, MONITOR_DEFAULTTOPRIMARY), &info)) {
        answer->workArea = info.rcWork;
        answer->monitor = info.rcMonitor;
    }
    return Status::Ok;
}

Status AnswerText(HWND form, Header& header, void* data) {
    HWND box = Control(form, kTextBoxId);
    if (box == nullptr) return Status::NoWindow;
    int length = GetWindowTextLengthW(box);
    if (static_cast<std::uint64_t>(length + 1) * sizeof(wchar_t) > kDataBytes) return Status::TooLarge;
    int copied = GetWindowTextW(box, static_cast<wchar_t*>(data), length + 1);
    header.dataBytes = static_cast<std::uint64_t>(copied) * sizeof(wchar_t);
    return Status::Ok;
}

IconRecord DescribeIcon(HWND window, WPARAM which) {
    IconRecord record{};
    auto icon = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, which, 0));
    if (icon == nullptr) return record;
    record.present = 1;
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) return record;
    BITMAP bitmap{};
    HBITMAP shape = info.hbmColor != nullptr ? info.hbmColor : info.hbmMask;
    if (GetObjectW(shape, sizeof bitmap, &bitmap) == sizeof bitmap) {
        record.infoOk = 1;
        record.width = bitmap.bmWidth;
        // A monochrome icon's mask holds the AND and XOR halves one above
        // the other.
        record.height = info.hbmColor != nullptr ? bitmap.bmHeight : bitmap.bmHeight / 2;
    }
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
    return record;
}

Status AnswerIcons(HWND form, Header&, void* data) {
    auto* answer = static_cast<IconAnswer*>(data);
    std::memset(answer, 0, sizeof *answer);
    HWND windows[2] = {form, GetWindow(form, GW_OWNER)};
    for (int i = 0; i < 2; ++i) {
        if (windows[i] == nullptr) continue;
        answer->big[i] = DescribeIcon(windows[i], ICON_BIG);
        answer->small[i] = DescribeIcon(windows[i], ICON_SMALL);
    }
    answer->metricBig[0] = GetSystemMetrics(SM_CXICON);
    answer->metricBig[1] = GetSystemMetrics(SM_CYICON);
    answer->metricSmall[0] = GetSystemMetrics(SM_CXSMICON);
    answer->metricSmall[1] = GetSystemMetrics(SM_CYSMICON);
    return Status::Ok;
}

// ---- timing (Now() is in hook_protocol.h)

// VM_COUNTERS.VirtualSize, from ntdll; 0 when it cannot be had.
std::uint64_t VirtualSizeNow() {
    struct VmCounters {
        SIZE_T peakVirtualSize;
        SIZE_T virtualSize;
        ULONG pageFaultCount;
        SIZE_T rest[8];
    } counters{};
    using QueryFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto query = ntdll != nullptr ? reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
                                        GetProcAddress(ntdll, "NtQueryInformationProcess")))
                                  : nullptr;
    constexpr int kProcessVmCounters = 3;
    if (query == nullptr || query(GetCurrentProcess(), kProcessVmCounters, &counters, sizeof counters, nullptr) != 0) {
        return 0;
    }
    return counters.virtualSize;
}

PROCESS_MEMORY_COUNTERS MemoryNow() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters;
}

// Samples the process's memory on a thread of its own while an action runs
// on the GUI thread, keeping the largest figures.
class MemorySampler {
public:
    explicit MemorySampler(bool on) {
        Take();
        before_ = last_;
        if (on) thread_ = CreateThread(nullptr, 0, &MemorySampler::Run, this, 0, nullptr);
    }
    ~MemorySampler() { Stop(); }
    MemorySampler(const MemorySampler&) = delete;
    MemorySampler& operator=(const MemorySampler&) = delete;

    void Stop() {
        if (thread_ != nullptr) {
            InterlockedExchange(&stop_, 1);
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
    }

    void Report(MeasureAnswer& answer) {
        Stop();
        Take();
        answer.samples = samples_;
        answer.privateBytes = {before_.PagefileUsage, peakPrivate_, last_.PagefileUsage};
        answer.workingSet = {before_.WorkingSetSize, peakWorking_, last_.WorkingSetSize};
        answer.peakWorkingSetBefore = before_.PeakWorkingSetSize;
        answer.peakWorkingSetAfter = last_.PeakWorkingSetSize;
    }

private:
    static DWORD WINAPI Run(void* self) {
        auto* sampler = static_cast<MemorySampler*>(self);
        while (InterlockedCompareExchange(&sampler->stop_, 0, 0) == 0) {
            sampler->Take();
            Sleep(1);
        }
        return 0;
    }

    void Take() {
        last_ = MemoryNow();
        if (last_.PagefileUsage > peakPrivate_) peakPrivate_ = last_.PagefileUsage;
        if (last_.WorkingSetSize > peakWorking_) peakWorking_ = last_.WorkingSetSize;
        ++samples_;
    }

    HANDLE thread_ = nullptr;
    volatile LONG stop_ = 0;
    PROCESS_MEMORY_COUNTERS before_{};
    PROCESS_MEMORY_COUNTERS last_{};
    std::uint64_t peakPrivate_ = 0;
    std::uint64_t peakWorking_ = 0;
    std::uint32_t samples_ = 0;
};

Status AnswerPutText(HWND form, Header& header, void* data, std::uint64_t inputBytes) {
    HWND box = Control(form, kTextBoxId);
    if (box == nullptr) return Status::NoWindow;
    if (inputBytes + sizeof(wchar_t) > kDataBytes) return Status::TooLarge;
    auto* text = static_cast<wchar_t*>(data);
    text[inputBytes / sizeof(wchar_t)] = L'\0';
    double started = Now();
    SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    PutTextAnswer answer{};
    answer.seconds = Now() - started;
    answer.length = static_cast<std::uint64_t>(GetWindowTextLengthW(box));
    std::memcpy(data, &answer, sizeof answer);
    header.dataBytes = sizeof answer;
    return Status::Ok;
}

// The whole text of the box in one buffer, as the program reads it.
std::u16string ReadBox(HWND box) {
    std::u16string text(static_cast<std::size_t>(GetWindowTextLengthW(box)), u'\0');
    int copied = GetWindowTextW(box, reinterpret_cast<wchar_t*>(text.data()), static_cast<int>(text.size()) + 1);
    text.resize(static_cast<std::size_t>(copied));
    return text;
}

void ReplaceAll(HWND box, const std::u16string& text, bool canUndo) {
    SendMessageW(box, EM_SETSEL, 0, -1);
    SendMessageW(box, EM_REPLACESEL, canUndo ? TRUE : FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

Status AnswerMeasure(HWND form, Header& header, void* data, std::uint64_t inputBytes) {
    HWND box = Control(form, kTextBoxId);
    HWND go = Control(form, kGoId);
    if (box == nullptr || go == nullptr) return Status::NoWindow;
    if (inputBytes < sizeof(MeasureRequest)) return Status::BadQuery;
    MeasureRequest request;
    std::memcpy(&request, data, sizeof request);

    MeasureAnswer answer{};
    answer.action = request.action;
    SetFocus(go);
    UpdateWindow(form);
    answer.lengthBefore = static_cast<std::uint64_t>(GetWindowTextLengthW(box));
    {
        MemorySampler sampler(request.sampleMemory != 0);
        double t0 = Now();
        switch (static_cast<Action>(request.action)) {
            case Action::ClickGo:
                SendMessageW(go, BM_CLICK, 0, 0);
                break;
            case Action::RoundTripSetText:
            case Action::RoundTripReplace: {
                std::u16string text = ReadBox(box);
                double t1 = Now();
                if (static_cast<Action>(request.action) == Action::RoundTripSetText) {
                    SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
                } else {
                    ReplaceAll(box, text, request.canUndo != 0);
                }
                double t2 = Now();
                answer.read = t1 - t0;
                answer.write = t2 - t1;
                break;
            }
            case Action::GoSteps: {
                std::u16string text = ReadBox(box);
                double t1 = Now();
                ostrada::core::JoinLinesInPlace(text);
                double t2 = Now();
                ReplaceAll(box, text, request.canUndo != 0);
                double t3 = Now();
                SendMessageW(box, EM_SETSEL, 0, 0);
                SendMessageW(box, EM_SCROLLCARET, 0, 0);
                double t4 = Now();
                answer.read = t1 - t0;
                answer.join = t2 - t1;
                answer.write = t3 - t2;
                answer.caret = t4 - t3;
                break;
            }
            default:
                return Status::BadQuery;
        }
        answer.total = Now() - t0;
        sampler.Report(answer);
    }
    double painting = Now();
    UpdateWindow(form);
    answer.paint = Now() - painting;
    answer.lengthAfter = static_cast<std::uint64_t>(GetWindowTextLengthW(box));
    answer.canUndoAfter = SendMessageW(box, EM_CANUNDO, 0, 0) != 0;
    std::memcpy(data, &answer, sizeof answer);
    header.dataBytes = sizeof answer;
    return Status::Ok;
}

// ---- robustness

Status AnswerTextDigest(HWND form, Header& header, void* data) {
    HWND box = Control(form, kTextBoxId);
    if (box == nullptr) return Status::NoWindow;
    auto length = static_cast<std::size_t>(GetWindowTextLengthW(box));
    // A buffer of its own: the text may be larger than the shared memory.
    auto* text = static_cast<wchar_t*>(
        VirtualAlloc(nullptr, (length + 1) * sizeof(wchar_t), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (text == nullptr) return Status::TooLarge;
    length = static_cast<std::size_t>(GetWindowTextW(box, text, static_cast<int>(length) + 1));
    TextDigestAnswer answer{};
    answer.length = length;
    answer.whole = Fnv1a(text, length);
    for (std::size_t at = 0; at < length && answer.blocks < kDigestBlocks; at += kDigestBlockUnits) {
        answer.block[answer.blocks++] = Fnv1a(text + at, std::min<std::size_t>(kDigestBlockUnits, length - at));
    }
    VirtualFree(text, 0, MEM_RELEASE);
    std::memcpy(data, &answer, sizeof answer);
    header.dataBytes = sizeof answer;
    return Status::Ok;
}

BOOL CALLBACK CountChildWindow(HWND, LPARAM count) {
    ++*reinterpret_cast<std::uint32_t*>(count);
    return TRUE;
}

BOOL CALLBACK CountWindow(HWND window, LPARAM count) {
    ++*reinterpret_cast<std::uint32_t*>(count);
    EnumChildWindows(window, CountChildWindow, count);  // all descendants
    return TRUE;
}

Status AnswerResources(Header& header, void* data) {
    ResourceAnswer answer{};
    // Wine's GDI and USER handles are an index into a table, and a handle
    // that leaves out the generation (the high word) names whatever entry
    // is at that index; so every live object can be found by trying them all.
    for (UINT_PTR index = 1; index < 0x10000; ++index) {
        const DWORD type = GetObjectType(reinterpret_cast<HGDIOBJ>(index));
        if (type == 0) continue;
        ++answer.gdiObjects;
        ++answer.gdiByType[type & 15];
    }
    // USER handles are even numbers from 0x20 on.
    for (UINT_PTR value = 0x20; value < 0x10000; value += 2) {
        const auto handle = reinterpret_cast<HANDLE>(value);
        if (IsMenu(static_cast<HMENU>(handle))) ++answer.menus;
        ICONINFO info{};
        if (GetIconInfo(static_cast<HICON>(handle), &info)) {
            ++answer.icons;
            if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
            if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
        }
    }
    EnumThreadWindows(GetCurrentThreadId(), CountWindow, reinterpret_cast<LPARAM>(&answer.windows));

    HANDLE heaps[64];
    const DWORD heapCount = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < heapCount && i < 64; ++i) {
        ++answer.heaps;
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                ++answer.heapBlocks;
                answer.heapBytes += entry.cbData;
            }
        }
        HeapUnlock(heaps[i]);
    }
    const PROCESS_MEMORY_COUNTERS counters = MemoryNow();
    answer.privateBytes = counters.PagefileUsage;
    answer.workingSet = counters.WorkingSetSize;
    answer.virtualSize = VirtualSizeNow();
    std::memcpy(data, &answer, sizeof answer);
    header.dataBytes = sizeof answer;
    return Status::Ok;
}

#if defined(__x86_64__)
// prlimit64(0, RLIMIT_AS, {limit, unlimited}, nullptr), straight to the Linux kernel.
long long SetAddressSpaceLimit(std::uint64_t limit) {
    const std::uint64_t limits[2] = {limit, ~std::uint64_t{0}};
    long long result;
    register long long r10 asm("r10") = 0;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(302LL), "D"(0LL), "S"(9LL), "d"(limits), "r"(r10)
                 : "rcx", "r11", "memory");
    return result;
}

// The hook's reservations, kept without the heap.
void* g_taken[1 << 14];
std::uint32_t g_takenCount = 0;
std::uint64_t g_takenBytes = 0;
#endif

Status AnswerLimitMemory(Header& header, void* data, std::uint64_t inputBytes) {
    if (inputBytes < sizeof(MemoryLimitRequest)) return Status::BadQuery;
    MemoryLimitRequest request;
    std::memcpy(&request, data, sizeof request);
#if defined(__x86_64__)
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) return Status::BadQuery;
    MemoryLimitAnswer answer{};
    if (request.lift) {
        answer.result = SetAddressSpaceLimit(~std::uint64_t{0});
        while (g_takenCount > 0) VirtualFree(g_taken[--g_takenCount], 0, MEM_RELEASE);
        g_takenBytes = 0;
        answer.limit = ~std::uint64_t{0};
    } else {
        // Everything the process can still get taken, largest pieces first:
        // the space Wine holds in reserve, and with it some of the system's
        // (the reserve is not all mapped yet, and mapping the rest of it
        // needs room under the cap too). Then the headroom granted.
        answer.result = SetAddressSpaceLimit(VirtualSizeNow() + (SIZE_T{64} << 20));
        for (SIZE_T size = SIZE_T{1} << 40; answer.result == 0 && size >= (SIZE_T{64} << 10);) {
            void* taken = g_takenCount < sizeof g_taken / sizeof g_taken[0]
                              ? VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS)
                              : nullptr;
            if (taken == nullptr) {
                size /= 2;
                continue;
            }
            g_taken[g_takenCount++] = taken;
            g_takenBytes += size;
        }
        answer.limit = VirtualSizeNow() + request.headroomBytes;
        if (answer.result == 0) answer.result = SetAddressSpaceLimit(answer.limit);
    }
    answer.virtualSize = VirtualSizeNow();
    answer.takenBytes = g_takenBytes;
    answer.reservations = g_takenCount;
    std::memcpy(data, &answer, sizeof answer);
    header.dataBytes = sizeof answer;
    return Status::Ok;
#else
    (void)header;
    return Status::BadQuery;
#endif
}

Status AnswerCommandLine(Header& header, void* data) {
    const wchar_t* commandLine = GetCommandLineW();
    const std::size_t bytes = std::wcslen(commandLine) * sizeof(wchar_t);
    if (bytes > kDataBytes) return Status::TooLarge;
    std::memcpy(data, commandLine, bytes);
    header.dataBytes = bytes;
    return Status::Ok;
}

Status AnswerModule(Header& header, void* data, std::uint64_t inputBytes) {
    if (inputBytes < sizeof(ModuleRequest)) return Status::BadQuery;
    ModuleRequest request;
    std::memcpy(&request, data, sizeof request);
    request.module[63] = L'\0';
    request.function[63] = '\0';
    ModuleAnswer answer{};
    HMODULE module = GetModuleHandleW(request.module);
    if (module != nullptr) {
        answer.loaded = 1;
        GetModuleFileNameW(module, answer.path, MAX_PATH);
        answer.functionFound = GetProcAddress(module, request.function) != nullptr;
    }
    std::memcpy(data, &answer, sizeof answer);
    header.dataBytes = sizeof answer;
    return Status::Ok;
}

void Answer(HWND form, Query query, DWORD driverPid) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, MappingName(driverPid).c_str());
    HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, DoneEventName(driverPid).c_str());
    // Under a memory limit the whole shared memory may not fit the address
    // space; that query needs only its few bytes.
    const bool small = query == Query::LimitMemory || query == Query::Resources || query == Query::TextDigest;
    const SIZE_T viewBytes = sizeof(Header) + (small ? 4096 : kDataBytes);
    void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, viewBytes) : nullptr;
    if (view != nullptr) {
        auto* header = static_cast<Header*>(view);
        void* data = header + 1;
        const std::uint64_t inputBytes = header->dataBytes;
        header->dataBytes = 0;
        Status status = Status::BadQuery;
        switch (query) {
            case Query::Fonts:
                status = AnswerFonts(form, *header, data);
                header->dataBytes = sizeof(FontAnswer);
                break;
            case Query::Placement:
                status = AnswerPlacement(form, *header, data);
                header->dataBytes = sizeof(PlacementAnswer);
                break;
            case Query::Text:
                status = AnswerText(form, *header, data);
                break;
            case Query::Icons:
                status = AnswerIcons(form, *header, data);
                header->dataBytes = sizeof(IconAnswer);
                break;
            case Query::PutText:
                status = AnswerPutText(form, *header, data, inputBytes);
                break;
            case Query::Measure:
                status = AnswerMeasure(form, *header, data, inputBytes);
                break;
            case Query::TextDigest:
                status = AnswerTextDigest(form, *header, data);
                break;
            case Query::Resources:
                status = AnswerResources(*header, data);
                break;
            case Query::LimitMemory:
                status = AnswerLimitMemory(*header, data, inputBytes);
                break;
            case Query::CommandLine:
                status = AnswerCommandLine(*header, data);
                break;
            case Query::Module:
                status = AnswerModule(*header, data, inputBytes);
                break;
        }
        header->query = static_cast<std::uint32_t>(query);
        header->magic = kMagic;
        MemoryBarrier();
        header->status = static_cast<std::uint32_t>(status);
        UnmapViewOfFile(view);
    }
    if (done != nullptr) SetEvent(done);
    if (done != nullptr) CloseHandle(done);
    if (mapping != nullptr) CloseHandle(mapping);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK OstradaE2EGetMsgProc(int code, WPARAM removal,
                                                                      LPARAM param) {
    auto* message = reinterpret_cast<MSG*>(param);
    if (code == HC_ACTION && removal == PM_REMOVE && message != nullptr &&
        message->message == QueryMessage()) {
        Answer(message->hwnd, static_cast<Query>(message->wParam), static_cast<DWORD>(message->lParam));
        message->message = WM_NULL;
        message->wParam = 0;
        message->lParam = 0;
    }
    return CallNextHookEx(nullptr, code, removal, param);
}

// Set on the program's main thread before it starts.
extern "C" __declspec(dllexport) LRESULT CALLBACK OstradaE2ECbtProc(int code, WPARAM wParam, LPARAM lParam) {
    auto window = reinterpret_cast<HWND>(wParam);
    wchar_t name[32] = {};
    if (code == HCBT_MINMAX && GetClassNameW(window, name, 32) && std::wcscmp(name, L"OstradaForm") == 0) {
        static StartLog* log = [] {
            HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, StartMappingName(GetCurrentProcessId()).c_str());
            // The mapping stays open for the life of the process.
            return mapping != nullptr
                       ? static_cast<StartLog*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(StartLog)))
                       : nullptr;
        }();
        if (log != nullptr) {
            LONG index = log->count;
            if (index < kMinMaxRecords) {
                MinMaxRecord& record = log->records[index];
                record.showCommand = static_cast<std::int32_t>(LOWORD(lParam));
                record.visible = IsWindowVisible(window);
                record.iconic = IsIconic(window);
                record.zoomed = IsZoomed(window);
                GetWindowRect(window, &record.windowRect);
            }
            MemoryBarrier();
            log->count = index + 1;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

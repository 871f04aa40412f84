// What the test driver and its hook DLL say to each other.
//
// The driver hooks the GUI thread of the program under test (WH_GETMESSAGE)
// and posts the registered message kQueryMessage to the main form, with the
// query in wParam and the driver's process id in lParam. The hook, running
// on that thread inside the program, answers into the driver's named file
// mapping and then sets the driver's named event; it turns the posted
// message into WM_NULL so that the program never sees it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace ostrada_e2e {

inline constexpr wchar_t kQueryMessage[] = L"OstradaE2E.Query";
inline constexpr std::uint32_t kMagic = 0x45324530;  // "0E2E"
// Room for the text box's whole text in UTF-16 and then some.
inline constexpr std::uint32_t kDataBytes = 64u << 20;

// Seconds on the performance counter: the clock both sides time with.
inline double Now() {
    static const double perSecond = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / perSecond;
}

inline std::wstring MappingName(DWORD driverPid) {
    return L"Local\\OstradaE2E.Map." + std::to_wstring(driverPid);
}
inline std::wstring DoneEventName(DWORD driverPid) {
    return L"Local\\OstradaE2E.Done." + std::to_wstring(driverPid);
}

enum class Query : std::uint32_t {
    Fonts = 1,      // FontAnswer
    Placement = 2,  // PlacementAnswer
    Text = 3,       // the text box's whole text, UTF-16, dataBytes long
    Icons = 4,      // IconAnswer
    PutText = 5,    // input: UTF-16 text; PutTextAnswer
    Measure = 6,    // input: MeasureRequest; MeasureAnswer
    // The robustness tests' queries.
    TextDigest = 20,   // TextDigestAnswer
    Resources = 21,    // ResourceAnswer
    LimitMemory = 22,  // input: MemoryLimitRequest; MemoryLimitAnswer
    CommandLine = 23,  // GetCommandLineW as the program sees it, UTF-16
    Module = 24,       // input: ModuleRequest; ModuleAnswer
};

enum class Status : std::uint32_t {
    Pending = 0,
    Ok = 1,
    NoWindow = 2,   // the form or a control was not found
    TooLarge = 3,   // the answer does not fit the mapping
    BadQuery = 4,
};

struct Header {
    std::uint32_t magic;
    std::uint32_t query;
    std::uint32_t status;
    std::uint32_t reserved;
    std::uint64_t dataBytes;
};

// Fonts of the form and of the controls with ids 1..5 (the label, id 2, is
// looked up inside the title strip).
struct FontRecord {
    std::int32_t windowFound;
    std::int32_t hasFont;  // WM_GETFONT gave a handle
    std::int32_t objectOk; // GetObject filled the LOGFONTW
    std::int32_t reserved;
    LOGFONTW font;
};
inline constexpr int kFontSlots = 6;  // [0] form, [id] control id
struct FontAnswer {
    FontRecord slot[kFontSlots];
};

struct PlacementAnswer {
    WINDOWPLACEMENT placement;
    std::int32_t iconic;
    std::int32_t visible;
    RECT windowRect;
    RECT workArea;  // of the form's monitor
    RECT monitor;
};

// Large and small icons of the form ([0]) and of its owner ([1]).
struct IconRecord {
    std::int32_t present;  // WM_GETICON gave a handle
    std::int32_t infoOk;   // GetIconInfo and GetObject worked
    std::int32_t width;
    std::int32_t height;
};
struct IconAnswer {
    IconRecord big[2];
    IconRecord small[2];
    std::int32_t metricBig[2];    // SM_CXICON, SM_CYICON
    std::int32_t metricSmall[2];  // SM_CXSMICON, SM_CYSMICON
};

// What the form looked like each time it was about to be minimised or
// maximised (WH_CBT, HCBT_MINMAX), recorded from the program's first
// instruction on: the driver starts the program suspended, creates the
// mapping named after the program's process id, hooks its main thread and
// only then lets it run.
inline std::wstring StartMappingName(DWORD programPid) {
    return L"Local\\OstradaE2E.Start." + std::to_wstring(programPid);
}
struct MinMaxRecord {
    std::int32_t showCommand;  // SW_MINIMIZE, SW_MAXIMIZE, ...
    std::int32_t visible;
    std::int32_t iconic;
    std::int32_t zoomed;
    RECT windowRect;
};
inline constexpr int kMinMaxRecords = 8;
struct StartLog {
    volatile LONG count;  // records written, may exceed kMinMaxRecords
    MinMaxRecord records[kMinMaxRecords];
};

// ---- Timing inside the program (the benchmark driver)
//
// For these queries the driver hands the hook input: it writes it into the
// data area and puts its length into the header's dataBytes before posting.

// PutText: the input is the text, UTF-16 without a terminator. The hook sets
// it as the text box's whole text with WM_SETTEXT, which also empties the
// box's undo buffer, so that no copy of the text crosses the process
// boundary by message.
struct PutTextAnswer {
    double seconds;
    std::uint64_t length;  // the box's length afterwards, in code units
};

// Measure: one action on the text box, timed on the GUI thread with the
// performance counter. The keyboard focus is on cmdGo first, as after a
// click on it.
enum class Action : std::uint32_t {
    ClickGo = 1,           // BM_CLICK to cmdGo: the whole Click handler
    RoundTripSetText = 2,  // the whole text read (WM_GETTEXTLENGTH, WM_GETTEXT
                           // into one buffer) and written back with WM_SETTEXT
    RoundTripReplace = 3,  // read the same way, written back with
                           // EM_SETSEL(0, -1) + EM_REPLACESEL(canUndo)
    GoSteps = 4,           // what Go does, step by step: read, join in
                           // place, write back as RoundTripReplace, caret
                           // to the start (EM_SETSEL(0, 0), EM_SCROLLCARET)
};

struct MeasureRequest {
    std::uint32_t action;        // Action
    std::uint32_t sampleMemory;  // 1: a second thread samples the process's
                                 // memory counters about every millisecond
    std::uint32_t canUndo;       // EM_REPLACESEL's wParam
    std::uint32_t reserved;
};

struct MemoryFigures {  // bytes
    std::uint64_t before;
    std::uint64_t peak;  // largest sample, before and after included
    std::uint64_t after;
};

struct MeasureAnswer {
    std::uint32_t action;
    std::uint32_t samples;       // memory samples taken
    std::uint32_t canUndoAfter;  // EM_CANUNDO after the action
    std::uint32_t reserved;
    // Seconds. `total` is the action as a whole; the others are its steps
    // where the action has them (zero otherwise). `paint` is an
    // UpdateWindow of the box right after the action, not part of `total`.
    double total;
    double read;
    double join;
    double write;
    double caret;
    double paint;
    std::uint64_t lengthBefore;  // the box's text, code units
    std::uint64_t lengthAfter;
    MemoryFigures privateBytes;  // PagefileUsage
    MemoryFigures workingSet;    // WorkingSetSize
    std::uint64_t peakWorkingSetBefore;  // PeakWorkingSetSize as reported
    std::uint64_t peakWorkingSetAfter;
};

// ---- Robustness: texts too large to copy, resource counts, memory limits

// FNV-1a over UTF-16 code units (two bytes each, low byte first): the same
// digest on both sides of the protocol.
inline std::uint64_t Fnv1a(const wchar_t* text, std::size_t units,
                           std::uint64_t hash = 0xcbf29ce484222325ull) {
    for (std::size_t i = 0; i < units; ++i) {
        const auto unit = static_cast<std::uint16_t>(text[i]);
        hash = (hash ^ (unit & 0xFFu)) * 0x100000001b3ull;
        hash = (hash ^ (unit >> 8)) * 0x100000001b3ull;
    }
    return hash;
}

// TextDigest: the length of the box's text and digests of the whole text
// and of each block of it, so that a difference can be placed to a block.
inline constexpr std::uint32_t kDigestBlockUnits = 1u << 20;
inline constexpr std::uint32_t kDigestBlocks = 128;
struct TextDigestAnswer {
    std::uint64_t length;  // code units
    std::uint64_t whole;
    std::uint32_t blocks;  // digests filled in; the text past the last is in `whole` only
    std::uint32_t reserved;
    std::uint64_t block[kDigestBlocks];
};

// Resources: what the process holds, counted inside it (Wine's
// GetGuiResources always answers 0).
struct ResourceAnswer {
    std::uint32_t gdiObjects;       // live entries of the process's GDI handle table
    std::uint32_t gdiByType[16];    // by GetObjectType (OBJ_PEN = 1 ... OBJ_COLORSPACE = 14)
    std::uint32_t windows;          // windows of the GUI thread, children included
    std::uint32_t icons;            // icon and cursor handles of the process
    std::uint32_t menus;
    std::uint32_t heaps;
    std::uint32_t heapBlocks;       // allocated blocks in all heaps of the process
    std::uint32_t reserved;
    std::uint64_t heapBytes;        // their bytes
    std::uint64_t privateBytes;     // GetProcessMemoryInfo: PagefileUsage
    std::uint64_t workingSet;       // WorkingSetSize
    std::uint64_t virtualSize;      // VM_COUNTERS.VirtualSize
};

// LimitMemory: leaves the program's process `headroomBytes` of address
// space to allocate from, as a process whose address space is all but full;
// or gives it all back. Wine does not enforce a job object's memory limit,
// so the hook caps the address space of the process it runs in (the Linux
// RLIMIT_AS) and takes up, with reservations, the room Wine keeps reserved
// for itself below that cap. Allocations then fail the way they do on a
// system out of memory. x64 under Wine only.
struct MemoryLimitRequest {
    std::uint64_t headroomBytes;
    std::uint32_t lift;  // 1: no limit, reservations released
    std::uint32_t reserved;
};
struct MemoryLimitAnswer {
    std::int64_t result;  // the system call's, 0 on success
    std::uint64_t virtualSize;
    std::uint64_t limit;
    std::uint64_t takenBytes;  // reserved by the hook
    std::uint32_t reservations;
    std::uint32_t reserved;
};

// Module: whether the process has a module loaded, where from, and whether
// it exports a function.
struct ModuleRequest {
    wchar_t module[64];
    char function[64];
};
struct ModuleAnswer {
    std::int32_t loaded;
    std::int32_t functionFound;
    wchar_t path[MAX_PATH];
};

}  // namespace ostrada_e2e

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

}  // namespace ostrada_e2e

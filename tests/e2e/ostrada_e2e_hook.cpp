// Loaded by Wine into the program under test when the driver hooks its GUI
// thread. Answers the driver's queries from inside that thread, where window
// handles, fonts and icons mean what the program means by them.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "hook_protocol.h"

using namespace ostrada_e2e;

namespace {

constexpr int kTitleStripId = 1;
constexpr int kLabelId = 2;
constexpr int kTextBoxId = 3;

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

void Answer(HWND form, Query query, DWORD driverPid) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, MappingName(driverPid).c_str());
    HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, DoneEventName(driverPid).c_str());
    void* view = mapping != nullptr
                     ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(Header) + kDataBytes)
                     : nullptr;
    if (view != nullptr) {
        auto* header = static_cast<Header*>(view);
        void* data = header + 1;
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

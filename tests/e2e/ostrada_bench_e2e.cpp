// ostrada_bench_e2e.exe: figures for the real program, measured from outside
// and, through the hook DLL, on its GUI thread. It prints tables; it judges
// nothing and fails only when it cannot measure (exit code 1).
//
//   ostrada_bench_e2e.exe --exe PATH [--minimal PATH] [--part all|go|start]
//                         [--sizes MIB[,MIB...]] [--runs N] [--starts N]
//
// go     For each size, a text of prose (lines of 40-80 code units of Latin
//        and Hebrew words, CR LF after each) of that many MiB of UTF-16 is put
//        into the box from inside the program (the putting is not timed).
//        Then, on the GUI thread, in turn: a click of Go; the bare round trip
//        of the same text through the box (the whole text read into one
//        buffer and written back, with WM_SETTEXT and with EM_SETSEL +
//        EM_REPLACESEL, undoable and not); the round trip of the joined text;
//        Go's steps one by one; and a click of Go with the process's memory
//        sampled. Every figure is the median of the runs; ratios are taken
//        within each run and their median shown.
// start  Time from CreateProcess to the first visible top-level window, and
//        to the process waiting for input, for ostrada.exe and for
//        minimal_window.exe, started in turn (after one start of each that
//        is not counted).
//
// --runs defaults to 5 for texts up to 1 MiB and 3 above; --starts to 15.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/SampleText.h"
#include "e2e_support.h"

namespace ostrada_e2e {
namespace {

// ---------------------------------------------------------------- figures

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Min(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}
double Max(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// The element-wise quotients a[i] / b[i].
std::vector<double> Ratios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> out;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (b[i] > 0) out.push_back(a[i] / b[i]);
    }
    return out;
}

constexpr double kMiB = 1024.0 * 1024.0;

// ---------------------------------------------------------------- text

// Prose (see bench/SampleText.h) with CR LF after every line, of exactly
// `units` code units; a cut that would leave a lone CR at the end ends in a
// full stop instead.
std::wstring Prose(std::size_t units) {
    ostrada::bench::Random random(units);
    std::wstring text = ostrada::bench::Prose<wchar_t>(units, L"\r\n", random);
    if (!text.empty() && text.back() == L'\r') text.back() = L'.';
    return text;
}

// The text as Go leaves it: every CR LF one space.
std::wstring Joined(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
            out.push_back(L' ');
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// ---------------------------------------------------------------- the program's GUI thread

double PutText(Program& program, const std::wstring& text, double seconds) {
    std::vector<char> data;
    program.Ask(Query::PutText, text.data(), text.size() * sizeof(wchar_t), data, seconds);
    if (data.size() < sizeof(PutTextAnswer)) throw Abort("PutText: answer too short");
    PutTextAnswer answer;
    std::memcpy(&answer, data.data(), sizeof answer);
    if (answer.length != text.size()) {
        throw Abort(Format("after putting %zu code units into the box it holds %llu", text.size(),
                           static_cast<unsigned long long>(answer.length)));
    }
    return answer.seconds;
}

MeasureAnswer Measure(Program& program, Action action, bool sampleMemory, bool canUndo, double seconds) {
    MeasureRequest request{};
    request.action = static_cast<std::uint32_t>(action);
    request.sampleMemory = sampleMemory ? 1 : 0;
    request.canUndo = canUndo ? 1 : 0;
    std::vector<char> data;
    program.Ask(Query::Measure, &request, sizeof request, data, seconds);
    if (data.size() < sizeof(MeasureAnswer)) throw Abort("Measure: answer too short");
    MeasureAnswer answer;
    std::memcpy(&answer, data.data(), sizeof answer);
    return answer;
}

void RequireLength(const MeasureAnswer& answer, std::size_t want, const char* what) {
    if (answer.lengthAfter != want) {
        throw Abort(Format("%s left %llu code units in the box, expected %zu", what,
                           static_cast<unsigned long long>(answer.lengthAfter), want));
    }
}

double Above(const MemoryFigures& memory) {
    return static_cast<double>(memory.peak) - static_cast<double>(memory.before);
}

struct SizeFigures {
    double mib = 0;
    std::size_t units = 0;
    std::size_t lines = 0;
    std::vector<double> put, go, rtSet, rtUndo, rtNoUndo, rtJoined;
    std::vector<double> goPaint, rtSetPaint, rtJoinedPaint;
    std::vector<double> read, join, write, caret, steps;
    // Memory, bytes: the private bytes before and the peaks above them.
    std::vector<double> memBefore, privateAbove, workingAbove;
    std::vector<double> rtSetPrivateAbove, rtJoinedPrivateAbove;
    std::vector<double> samples;
    bool goUndoable = false;
};

SizeFigures MeasureSize(double mib, int runs) {
    SizeFigures f;
    f.mib = mib;
    f.units = static_cast<std::size_t>(mib * kMiB / sizeof(wchar_t));
    const std::wstring text = Prose(f.units);
    const std::wstring joined = Joined(text);
    f.lines = text.size() - joined.size();
    // Generous limits: the edit control may take minutes on the largest texts.
    const double limit = 120 + 120 * mib;

    Program program(L"");
    for (int run = 0; run < runs; ++run) {
        Print(Format("  %.4g MiB, run %d of %d", mib, run + 1, runs));

        f.put.push_back(PutText(program, text, limit));
        MeasureAnswer go = Measure(program, Action::ClickGo, false, false, limit);
        RequireLength(go, joined.size(), "Go");
        f.go.push_back(go.total);
        f.goPaint.push_back(go.paint);
        f.goUndoable = go.canUndoAfter != 0;
        if (run == 0) {
            // Once per size: Go joined the lines, and nothing else changed.
            std::wstring got = program.AskText(limit);
            if (got != joined) throw Abort(Format("after Go the box does not hold the joined text (%.4g MiB)", mib));
        }
        MeasureAnswer rtJoined = Measure(program, Action::RoundTripSetText, false, false, limit);
        RequireLength(rtJoined, joined.size(), "the round trip of the joined text");
        f.rtJoined.push_back(rtJoined.total);
        f.rtJoinedPaint.push_back(rtJoined.paint);

        PutText(program, text, limit);
        MeasureAnswer rtSet = Measure(program, Action::RoundTripSetText, false, false, limit);
        RequireLength(rtSet, text.size(), "the round trip with WM_SETTEXT");
        f.rtSet.push_back(rtSet.total);
        f.rtSetPaint.push_back(rtSet.paint);
        MeasureAnswer rtNoUndo = Measure(program, Action::RoundTripReplace, false, false, limit);
        RequireLength(rtNoUndo, text.size(), "the round trip with EM_REPLACESEL(FALSE)");
        f.rtNoUndo.push_back(rtNoUndo.total);
        MeasureAnswer rtUndo = Measure(program, Action::RoundTripReplace, false, true, limit);
        RequireLength(rtUndo, text.size(), "the round trip with EM_REPLACESEL(TRUE)");
        f.rtUndo.push_back(rtUndo.total);

        PutText(program, text, limit);
        MeasureAnswer steps = Measure(program, Action::GoSteps, false, f.goUndoable, limit);
        RequireLength(steps, joined.size(), "Go's steps");
        f.read.push_back(steps.read);
        f.join.push_back(steps.join);
        f.write.push_back(steps.write);
        f.caret.push_back(steps.caret);
        f.steps.push_back(steps.total);

        // Memory, sampled in runs of their own: Go, and for comparison the
        // round trips of the joined text and of the text as it was.
        PutText(program, text, limit);
        MeasureAnswer memory = Measure(program, Action::ClickGo, true, false, limit);
        RequireLength(memory, joined.size(), "Go (memory sampled)");
        f.memBefore.push_back(static_cast<double>(memory.privateBytes.before));
        f.privateAbove.push_back(Above(memory.privateBytes));
        f.workingAbove.push_back(Above(memory.workingSet));
        f.samples.push_back(memory.samples);
        MeasureAnswer joinedMemory = Measure(program, Action::RoundTripSetText, true, false, limit);
        RequireLength(joinedMemory, joined.size(), "the round trip of the joined text (memory sampled)");
        f.rtJoinedPrivateAbove.push_back(Above(joinedMemory.privateBytes));
        PutText(program, text, limit);
        MeasureAnswer setMemory = Measure(program, Action::RoundTripSetText, true, false, limit);
        RequireLength(setMemory, text.size(), "the round trip with WM_SETTEXT (memory sampled)");
        f.rtSetPrivateAbove.push_back(Above(setMemory.privateBytes));
    }
    return f;
}

std::string Ms(double seconds) { return Format("%9.1f", seconds * 1000); }
std::string Ratio(const std::vector<double>& a, const std::vector<double>& b) {
    return Format("%7.2fx", Median(Ratios(a, b)));
}
std::string Size(const SizeFigures& f) { return Format("%5.4g MiB", f.mib); }

std::vector<double> Sum(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> out;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) out.push_back(a[i] + b[i]);
    return out;
}

void PrintGoTables(const std::vector<SizeFigures>& sizes) {
    Print("");
    Print("== Go and the bare round trip of the text through the box, on the GUI thread (ms, median of the runs)");
    Print("   text       code units   CR LFs  runs        Go    RT set   RT repl  RT repl+undo  RT joined"
          "   paint after: Go    RT set  RT joined");
    for (const SizeFigures& f : sizes) {
        Print(Format("  %s  %10zu  %7zu  %4zu  %s %s %s     %s  %s           %s %s  %s", Size(f).c_str(), f.units,
                     f.lines, f.go.size(), Ms(Median(f.go)).c_str(), Ms(Median(f.rtSet)).c_str(),
                     Ms(Median(f.rtNoUndo)).c_str(), Ms(Median(f.rtUndo)).c_str(), Ms(Median(f.rtJoined)).c_str(),
                     Ms(Median(f.goPaint)).c_str(), Ms(Median(f.rtSetPaint)).c_str(),
                     Ms(Median(f.rtJoinedPaint)).c_str()));
    }
    Print("   RT set:       WM_GETTEXT of the whole text into one buffer, WM_SETTEXT of it (the text as put in)");
    Print("   RT repl:      the same read, EM_SETSEL(0,-1) + EM_REPLACESEL(FALSE)");
    Print("   RT repl+undo: the same read, EM_SETSEL(0,-1) + EM_REPLACESEL(TRUE), which keeps the old text for undo");
    Print("   RT joined:    RT set of the text Go left in the box (one line)");
    Print("   paint:        UpdateWindow right after, not counted in the figures before it");
    Print(Format("   Go's write can be undone (EM_CANUNDO after Go): %s",
                 !sizes.empty() && sizes.front().goUndoable ? "yes" : "no"));

    Print("");
    Print("== Ratios (median of the per-run ratios)");
    Print("   text       Go/RT set  Go/RT repl  Go/RT repl+undo  Go/RT joined   with the paint after each:"
          "  Go/RT set  Go/RT joined");
    for (const SizeFigures& f : sizes) {
        Print(Format("  %s  %s    %s         %s       %s                                %s     %s", Size(f).c_str(),
                     Ratio(f.go, f.rtSet).c_str(), Ratio(f.go, f.rtNoUndo).c_str(), Ratio(f.go, f.rtUndo).c_str(),
                     Ratio(f.go, f.rtJoined).c_str(),
                     Ratio(Sum(f.go, f.goPaint), Sum(f.rtSet, f.rtSetPaint)).c_str(),
                     Ratio(Sum(f.go, f.goPaint), Sum(f.rtJoined, f.rtJoinedPaint)).c_str()));
    }

    Print("");
    Print("== Where Go's time goes: Go's steps one by one (ms, medians; in brackets the median of the per-run");
    Print("   shares of the steps' total)");
    Print("   text       read (WM_GETTEXT)    join (in place)    write (EM_REPLACESEL)   caret to start"
          "         total");
    for (const SizeFigures& f : sizes) {
        double total = Median(f.steps);
        auto share = [&](const std::vector<double>& part) { return 100 * Median(Ratios(part, f.steps)); };
        Print(Format("  %s  %s (%5.1f%%)   %8.3f (%5.2f%%)   %s (%5.1f%%)   %s (%5.1f%%)  %s", Size(f).c_str(),
                     Ms(Median(f.read)).c_str(), share(f.read), Median(f.join) * 1000, share(f.join),
                     Ms(Median(f.write)).c_str(), share(f.write), Ms(Median(f.caret)).c_str(), share(f.caret),
                     Ms(total).c_str()));
    }
    Print("   per MB of text (10^6 bytes of UTF-16):");
    for (const SizeFigures& f : sizes) {
        double mb = static_cast<double>(f.units * sizeof(wchar_t)) / 1e6;
        Print(Format("  %s  join %.0f us/MB, read %.1f ms/MB, write %.0f ms/MB, caret %.0f ms/MB; "
                     "putting the text in (WM_SETTEXT, untimed elsewhere) %.1f ms",
                     Size(f).c_str(), Median(f.join) * 1e6 / mb, Median(f.read) * 1e3 / mb,
                     Median(f.write) * 1e3 / mb, Median(f.caret) * 1e3 / mb, Median(f.put) * 1000));
    }

    Print("");
    Print("== Memory: peak above before (PagefileUsage, and WorkingSetSize for Go, sampled about every ms on");
    Print("   a second thread; MiB, medians; x = multiple of the text's size, code units x 2 bytes)");
    Print("   text       private before  Go private          Go working set      RT set private      "
          "RT joined private   samples (Go)");
    for (const SizeFigures& f : sizes) {
        double textBytes = static_cast<double>(f.units * sizeof(wchar_t));
        std::vector<double> textSize(f.privateAbove.size(), textBytes);
        auto above = [&](const std::vector<double>& v) {
            return Format("%7.1f (%6.2fx)", Median(v) / kMiB, Median(Ratios(v, textSize)));
        };
        Print(Format("  %s  %12.1f    %s   %s   %s   %s   %8.0f", Size(f).c_str(), Median(f.memBefore) / kMiB,
                     above(f.privateAbove).c_str(), above(f.workingAbove).c_str(),
                     above(f.rtSetPrivateAbove).c_str(), above(f.rtJoinedPrivateAbove).c_str(),
                     Median(f.samples)));
    }
}

// ---------------------------------------------------------------- start-up

struct FindVisible {
    HWND found = nullptr;
};

BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM param) {
    if (IsWindowVisible(window) && GetAncestor(window, GA_PARENT) == GetDesktopWindow()) {
        reinterpret_cast<FindVisible*>(param)->found = window;
        return FALSE;
    }
    return TRUE;
}

struct StartFigures {
    double visible = 0;  // seconds from CreateProcess to a visible top-level window
    double idle = 0;     // ... to the process waiting for input
};

StartFigures TimeStart(const std::wstring& exe) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    double started = Now();
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        throw Abort(Format("cannot start %s (error %lu)", Utf8(exe).c_str(), GetLastError()));
    }
    StartFigures figures;
    FindVisible search;
    // The windows are created on the process's first thread.
    while (search.found == nullptr) {
        EnumThreadWindows(process.dwThreadId, FindVisibleWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) break;
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0 || Now() - started > 60) {
            TerminateProcess(process.hProcess, 99);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            throw Abort(Format("%s showed no window", Utf8(exe).c_str()));
        }
        Sleep(1);
    }
    figures.visible = Now() - started;
    WaitForInputIdle(process.hProcess, 60000);
    figures.idle = Now() - started;

    PostMessageW(search.found, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
        Print(Format("  note: %s did not end on WM_CLOSE; ended it", Utf8(exe).c_str()));
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return figures;
}

// The last part of a path.
std::string FileName(const std::wstring& path) { return Utf8(path.substr(path.find_last_of(L"\\/") + 1)); }

void MeasureStarts(const std::wstring& exe, const std::wstring& minimal, int starts) {
    Print(Format("  start-up: one start of each not counted, then %d of each in turn", starts));
    TimeStart(exe);
    TimeStart(minimal);
    std::vector<double> visibleA, idleA, visibleB, idleB;
    for (int i = 0; i < starts; ++i) {
        StartFigures a = TimeStart(exe);
        StartFigures b = TimeStart(minimal);
        visibleA.push_back(a.visible);
        idleA.push_back(a.idle);
        visibleB.push_back(b.visible);
        idleB.push_back(b.idle);
    }
    Print("");
    Print(Format("== Start-up: CreateProcess to the window (ms; median [min - max] of %d starts each)", starts));
    Print("   program              visible                     waiting for input");
    auto row = [](const char* name, const std::vector<double>& visible, const std::vector<double>& idle) {
        Print(Format("   %-18s %s [%.1f - %.1f]   %s [%.1f - %.1f]", name, Ms(Median(visible)).c_str(),
                     Min(visible) * 1000, Max(visible) * 1000, Ms(Median(idle)).c_str(), Min(idle) * 1000,
                     Max(idle) * 1000));
    };
    row(FileName(exe).c_str(), visibleA, idleA);
    row(FileName(minimal).c_str(), visibleB, idleB);
    Print(Format("   ratio %s/%s: visible %.2fx (median of pair ratios; %.2fx of the medians), "
                 "waiting for input %.2fx (%.2fx)",
                 FileName(exe).c_str(), FileName(minimal).c_str(), Median(Ratios(visibleA, visibleB)), Median(visibleA) / Median(visibleB),
                 Median(Ratios(idleA, idleB)), Median(idleA) / Median(idleB)));
}

// ---------------------------------------------------------------- arguments

int Usage(const std::string& problem) {
    Print("ostrada_bench_e2e: " + problem);
    Print("usage: ostrada_bench_e2e.exe --exe PATH [--minimal PATH] [--part all|go|start] "
          "[--sizes MIB[,MIB...]] [--runs N] [--starts N]");
    return 2;
}

std::vector<double> ParseSizes(const std::string& list) {
    std::vector<double> sizes;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (comma > start) sizes.push_back(std::atof(list.substr(start, comma - start).c_str()));
        start = comma + 1;
    }
    return sizes;
}

}  // namespace
}  // namespace ostrada_e2e

int wmain(int argc, wchar_t** argv) {
    using namespace ostrada_e2e;
    _setmode(_fileno(stdout), _O_BINARY);
    Options options;
    std::wstring minimal;
    std::string part = "all";
    std::vector<double> sizes = {1, 4, 16};
    int runs = 0;
    int starts = 15;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (i + 1 >= argc) return Usage("missing value after " + Utf8(arg));
        std::wstring value = argv[++i];
        if (arg == L"--exe") options.exe = value;
        else if (arg == L"--minimal") minimal = value;
        else if (arg == L"--part") part = Utf8(value);
        else if (arg == L"--sizes") sizes = ParseSizes(Utf8(value));
        else if (arg == L"--runs") runs = std::wcstol(value.c_str(), nullptr, 10);
        else if (arg == L"--starts") starts = std::wcstol(value.c_str(), nullptr, 10);
        else return Usage("unknown argument " + Utf8(arg));
    }
    if (options.exe.empty()) return Usage("--exe is required");
    if (part != "all" && part != "go" && part != "start") return Usage("unknown part " + part);
    bool doGo = part != "start";
    bool doStart = part != "go";
    if (doStart && minimal.empty()) return Usage("--minimal is required for the start-up figures");
    for (double size : sizes) {
        if (size <= 0 || size * kMiB > kDataBytes / 2) return Usage(Format("size %.2f MiB is out of range", size));
    }
    if (runs < 0 || starts < 1) return Usage("--runs and --starts need positive numbers");
    UseOptions(options);

    try {
        if (doGo) {
            std::vector<SizeFigures> figures;
            for (double size : sizes) figures.push_back(MeasureSize(size, runs > 0 ? runs : size <= 1 ? 5 : 3));
            PrintGoTables(figures);
        }
        if (doStart) MeasureStarts(options.exe, minimal, starts);
    } catch (const Abort& abort) {
        Print(std::string("ostrada_bench_e2e: cannot measure: ") + abort.what());
        return 1;
    } catch (const std::exception& error) {
        Print(std::string("ostrada_bench_e2e: cannot measure: ") + error.what());
        return 1;
    }
    return 0;
}

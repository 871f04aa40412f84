// Robustness: whatever the user puts into the box survives. Huge pastes are
// held whole and joined right, odd text goes through Go as it should, Go
// without memory keeps the text, the program starts without pieces of the
// system it can do without, holds no more objects or memory after many Go
// presses and starts, reports an unhandled error before it ends, and takes
// any argument text. All in the "full" suite (x64, with the hook DLL); the
// long runs are in the "soak" suite (scripts/soak).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace ostrada_e2e {
namespace {

constexpr wchar_t kApplicationTitle[] = L"Ostrada 1.0";
constexpr wchar_t kNoMemoryMessage[] =
    L"There is not enough memory to join the lines of this text.\n\nThe text has not been changed.";

double Since(ULONGLONG started) { return static_cast<double>(GetTickCount64() - started) / 1000.0; }

double Mib(std::uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// Every CR LF, left to right, becomes one space: what Go must leave. Used for
// generated texts; the tables spell their expectations out.
std::wstring Joined(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
            out += L' ';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A deterministic pseudo-random source for generated texts.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed) {}
    std::uint32_t Next(std::uint32_t below) {
        state_ = state_ * 1103515245u + 12345u;
        return (state_ >> 8) % below;
    }

private:
    std::uint32_t state_;
};

// Lines of words, each line ending in CR LF, empty lines among them; about
// `units` code units. One word in `rarity` is Hebrew, a surrogate pair, a
// tab, or holds a lone CR or LF (Wine's edit control lays such lines out
// far more slowly than plain ones).
std::wstring LinesOfWords(std::size_t units, std::uint32_t seed, std::uint32_t rarity) {
    static const wchar_t* const kPlain[] = {L"lorem", L"ipsum", L"dolor", L"sit", L"amet", L"consectetur",
                                            L"adipiscing", L"elit"};
    static const wchar_t* const kOdd[] = {L"\u05E9\u05DC\u05D5\u05DD", L"\U0001F600", L"a\rb", L"c\nd", L"\t"};
    Random random(seed);
    std::wstring text;
    text.reserve(units + 256);
    while (text.size() < units) {
        const std::uint32_t words = random.Next(14);
        for (std::uint32_t w = 0; w < words; ++w) {
            if (w > 0) text += L' ';
            text += random.Next(rarity) == 0 ? kOdd[random.Next(sizeof kOdd / sizeof kOdd[0])]
                                             : kPlain[random.Next(sizeof kPlain / sizeof kPlain[0])];
        }
        text += L"\r\n";
    }
    return text;
}

// ---------------------------------------------------------------- asking the program

TextDigestAnswer Digest(Program& p, double seconds = 60) {
    return p.Ask<TextDigestAnswer>(Query::TextDigest, seconds);
}

// Compares the box's text, by its digest, with the text it should be.
bool CheckDigest(TestContext& t, const TextDigestAnswer& got, const std::wstring& want, const std::string& what) {
    if (got.length != want.size()) {
        return t.Check(false, Format("%s: %llu code units, expected %zu", what.c_str(),
                                     static_cast<unsigned long long>(got.length), want.size()));
    }
    if (got.whole == Fnv1a(want.data(), want.size())) return true;
    std::size_t block = 0;
    for (; block < got.blocks; ++block) {
        const std::size_t at = block * kDigestBlockUnits;
        if (got.block[block] != Fnv1a(want.data() + at, std::min<std::size_t>(kDigestBlockUnits, want.size() - at))) {
            break;
        }
    }
    return t.Check(false, Format("%s: the text differs from what it should be, from code unit %zu on (block of %u)",
                                 what.c_str(), block * kDigestBlockUnits, kDigestBlockUnits));
}

ResourceAnswer Resources(Program& p) { return p.Ask<ResourceAnswer>(Query::Resources); }

std::string Describe(const ResourceAnswer& r) {
    return Format("GDI objects %u, windows %u, icons %u, menus %u, heap %u blocks %.2f MiB, private %.2f MiB, "
                  "working set %.2f MiB",
                  r.gdiObjects, r.windows, r.icons, r.menus, r.heapBlocks, Mib(r.heapBytes), Mib(r.privateBytes),
                  Mib(r.workingSet));
}

MemoryLimitAnswer LimitMemory(Program& p, std::uint64_t headroom, bool lift = false) {
    MemoryLimitRequest request{headroom, lift ? 1u : 0u, 0};
    std::vector<char> data;
    p.Ask(Query::LimitMemory, &request, sizeof request, data);
    MemoryLimitAnswer answer{};
    if (data.size() < sizeof answer) throw Abort("hook answer too short");
    std::memcpy(&answer, data.data(), sizeof answer);
    if (answer.result != 0) {
        throw Abort(Format("setting the memory limit failed (%lld)", static_cast<long long>(answer.result)));
    }
    return answer;
}

ModuleAnswer AskModule(Program& p, const wchar_t* module, const char* function) {
    ModuleRequest request{};
    std::wcsncpy(request.module, module, 63);
    std::strncpy(request.function, function, 63);
    std::vector<char> data;
    p.Ask(Query::Module, &request, sizeof request, data);
    ModuleAnswer answer{};
    if (data.size() < sizeof answer) throw Abort("hook answer too short");
    std::memcpy(&answer, data.data(), sizeof answer);
    return answer;
}

std::wstring AskCommandLine(Program& p) {
    std::vector<char> data;
    p.Ask(Query::CommandLine, data);
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
}

// Puts text into the box the way a user pastes it: all selected, then pasted.
void Paste(Program& p, const std::wstring& text, double seconds = 10) {
    PutOnClipboard(text);
    HWND box = p.Control(kIdTextBox);
    Send(box, EM_SETSEL, 0, -1);
    Send(box, WM_PASTE, 0, 0, seconds);
}

// ---------------------------------------------------------------- message boxes

struct SeenBox {
    HWND window = nullptr;
    HWND owner = nullptr;
    std::wstring caption;
    std::wstring text;
};

std::optional<SeenBox> MessageBoxOf(DWORD pid) {
    const HWND found = FindVisibleWindow(pid, L"#32770");
    if (found == nullptr) return std::nullopt;
    SeenBox box;
    box.window = found;
    box.owner = GetWindow(box.window, GW_OWNER);
    box.caption = TextOf(box.window);
    // The message's static has the id 0xFFFF in Windows' message boxes and in Wine's.
    if (HWND message = GetDlgItem(box.window, 0xFFFF)) box.text = TextOf(message);
    return box;
}

// The message box the program shows, if one comes up in time (or before
// the program ends).
std::optional<SeenBox> WaitForMessageBox(Program& p, double seconds) {
    const ULONGLONG deadline = GetTickCount64() + Millis(seconds);
    for (;;) {
        if (auto box = MessageBoxOf(p.Pid())) return box;
        if (GetTickCount64() > deadline || !p.Running()) return std::nullopt;
        Sleep(50);
    }
}

// Presses the box's OK button; whether the box went away.
bool DismissMessageBox(const SeenBox& box, double seconds = 10) {
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box.window, IDOK)));
    const ULONGLONG deadline = GetTickCount64() + Millis(seconds);
    while (IsWindow(box.window) && IsWindowVisible(box.window)) {
        if (GetTickCount64() > deadline) return false;
        Sleep(20);
    }
    return true;
}

// ================================================================ huge paste

// The largest text: pasted whole, held whole, joined right. Figures go to
// the log as notes.
void HugePaste(TestContext& t, std::size_t units) {
    const std::wstring text = LinesOfWords(units, 4242, 64);
    const std::wstring expected = Joined(text);
    Program p(L"");
    HWND box = p.Control(kIdTextBox);

    ULONGLONG started = GetTickCount64();
    Paste(p, text, 1200);
    const double pasteSeconds = Since(started);
    const auto length = static_cast<std::size_t>(Send(box, WM_GETTEXTLENGTH, 0, 0));
    t.Require(length == text.size(), Format("after the paste the box holds %zu code units, expected %zu", length,
                                            text.size()));
    if (!CheckDigest(t, Digest(p), text, "the box after the paste")) return;

    started = GetTickCount64();
    p.ClickGo(1800);
    const double goSeconds = Since(started);
    CheckDigest(t, Digest(p, 300), expected, "the box after Go");
    const ResourceAnswer held = Resources(p);
    t.Note(Format("%.1f MiB of text (%zu code units): paste %.1f s, Go %.1f s, %.1f MiB joined; the process then "
                  "holds %.0f MiB of heap",
                  Mib(text.size() * sizeof(wchar_t)), text.size(), pasteSeconds, goSeconds,
                  Mib(expected.size() * sizeof(wchar_t)), Mib(held.heapBytes)));
    t.Check(p.Running(), "the program ended");
}

// ================================================================ Go without memory

struct ShortageCase {
    const char* name;
    double headroomPerTextByte;  // address space left, per byte of the box's text
};

// With the address space all but full, Go leaves the text exactly as it was,
// says so, and the program goes on.
void GoWithoutMemory(TestContext& t) {
    // Each copy of the text is far larger than what a message box takes.
    const std::wstring text = LinesOfWords(std::size_t{2} << 20, 77, 1024);
    const std::size_t textBytes = text.size() * sizeof(wchar_t);
    // Go reads a copy of the text, and the edit control takes more copies to
    // replace its text and lay it out. With room for Go's copy and one or two
    // of the edit control's, Wine's edit control and GDI fault in their own
    // code if they are let loose on the replacement.
    const ShortageCase cases[] = {
        {"no room for a copy of the text", 0.25},
        {"room for the copy, not for replacing the text", 1.5},
        {"room for the copy and the undo buffer", 2.5},
        {"room for the copy and two more", 3.25},
    };
    Program p(L"");
    for (const ShortageCase& c : cases) {
        Paste(p, text, 120);
        if (!CheckDigest(t, Digest(p), text, Format("[%s] the box before Go", c.name))) return;
        const auto headroom = static_cast<std::uint64_t>(c.headroomPerTextByte * static_cast<double>(textBytes));
        const MemoryLimitAnswer limit = LimitMemory(p, headroom);
        t.Note(Format("[%s] %.1f MiB of text, %.1f MiB of address space left (%.0f MiB taken up)", c.name,
                      Mib(textBytes), Mib(headroom), Mib(limit.takenBytes)));
        Post(p.Control(kIdGo), BM_CLICK, 0, 0);
        const std::optional<SeenBox> box = WaitForMessageBox(p, 60);
        if (box) {
            t.Check(box->caption == kApplicationTitle, Format("[%s] message box caption %s", c.name,
                                                              Visible(box->caption).c_str()));
            t.Check(box->text == kNoMemoryMessage, Format("[%s] message %s", c.name, Visible(box->text).c_str()));
            t.Check(box->owner == p.Form(), Format("[%s] the message box is not owned by the form", c.name));
            t.Check(DismissMessageBox(*box), Format("[%s] the message box did not go away", c.name));
        }
        if (!p.Running()) {
            t.Require(false, Format("[%s] the program ended (exit code 0x%lX)", c.name, *p.WaitForExit(0)));
        }
        LimitMemory(p, 0, true);
        t.Check(box.has_value(), Format("[%s] no message box", c.name));
        CheckDigest(t, Digest(p), text, Format("[%s] the box after Go", c.name));
    }
    // With memory again, Go joins as ever.
    p.ClickGo(120);
    CheckDigest(t, Digest(p), Joined(text), "the box after Go with memory");
}

// ================================================================ odd text

struct OddCase {
    std::string name;
    std::wstring input;
    std::wstring expected;
};

std::wstring Controls() {
    std::wstring text;
    for (wchar_t c = 0x01; c <= 0x1F; ++c) text += c;
    return text + L'\x7F';
}

std::wstring EachControlBeforeCrLf(bool joined) {
    std::wstring text;
    for (wchar_t c : Controls()) {
        text += c;
        text += joined ? L" " : L"\r\n";
    }
    return text;
}

const std::vector<OddCase>& OddCases() {
    // U+0000 ends an edit control's text, so it cannot be in the box.
    static const std::vector<OddCase> cases = {
        {"every control character, U+0001 to U+001F and U+007F", L"a" + Controls() + L"b", L"a" + Controls() + L"b"},
        {"each control character before a CR LF", EachControlBeforeCrLf(false), EachControlBeforeCrLf(true)},
        {"CR CR LF LF", L"a\r\r\n\nb", L"a\r \nb"},
        {"LF CR LF CR", L"a\n\r\n\rb", L"a\n \rb"},
        {"LF LF CR CR", L"a\n\n\r\rb", L"a\n\n\r\rb"},
        {"CR LF CR LF CR", L"\r\n\r\n\r", L"  \r"},
        {"LF CR LF LF CR", L"\n\r\n\n\r", L"\n \n\r"},
        {"ending in a lone CR", L"end\r", L"end\r"},
        {"ending in CR LF CR", L"end\r\n\r", L"end \r"},
        {"one character", L"x", L"x"},
        {"a lone CR", L"\r", L"\r"},
        {"a lone LF", L"\n", L"\n"},
        {"one CR LF", L"\r\n", L" "},
        {"lone high surrogate before a CR LF", L"a\xD800\r\nb", L"a\xD800 b"},
        {"lone low surrogate after a CR LF", L"a\r\n\xDC00", L"a \xDC00"},
        {"surrogates in the wrong order", L"\xDC00\xD800\r\n\xDFFF\xDBFF", L"\xDC00\xD800 \xDFFF\xDBFF"},
        {"a pair split by a CR LF", L"\xD83D\r\n\xDE00", L"\xD83D \xDE00"},
        {"characters outside the BMP", L"\U00010000\r\n\U0001F600\r\n\U0010FFFF", L"\U00010000 \U0001F600 \U0010FFFF"},
        {"other line ends, BOM and noncharacters", L"\u0085\u2028\u2029\r\n\uFEFF\uFFFE\uFFFF",
         L"\u0085\u2028\u2029 \uFEFF\uFFFE\uFFFF"},
    };
    return cases;
}

// Generated mixtures of the troublesome code units, joined by the reference.
std::vector<OddCase> MixedCases() {
    static const wchar_t kUnits[] = {L'\r', L'\n', L'\r', L'\n', L'a', L' ', L'\t', L'\x01', L'\x7F',
                                     L'\xD800', L'\xDC00', L'\u05D0', L'\uFFFF', L'\uFEFF'};
    Random random(2024);
    std::vector<OddCase> cases;
    for (int i = 0; i < 40; ++i) {
        std::wstring text;
        const std::uint32_t length = 1 + random.Next(300);
        for (std::uint32_t j = 0; j < length; ++j) {
            if (random.Next(10) == 0) {
                text += L"\U0001F600";
            } else {
                text += kUnits[random.Next(sizeof kUnits / sizeof kUnits[0])];
            }
        }
        cases.push_back({Format("mixture %d", i + 1), text, Joined(text)});
    }
    return cases;
}

// Each text set into the box and pasted into it, then Go: the box holds the
// text as given first and the joined text after.
void OddText(TestContext& t) {
    Program& p = SharedProgram();
    std::vector<OddCase> cases = OddCases();
    const std::vector<OddCase> mixed = MixedCases();
    cases.insert(cases.end(), mixed.begin(), mixed.end());
    for (const OddCase& c : cases) {
        for (bool pasted : {false, true}) {
            const std::string name = Format("[%s, %s]", c.name.c_str(), pasted ? "pasted" : "set");
            if (pasted) {
                Paste(p, c.input);
            } else {
                p.SetBoxText(c.input);
            }
            if (!CheckText(t, p.AskText(), c.input, name + " the box before Go")) continue;
            p.ClickGo();
            CheckText(t, p.AskText(), c.expected, name + " the box after Go");
        }
    }
}

// ================================================================ missing pieces

// A folder of the driver's own in the Windows temporary folder, emptied and
// removed at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"ostrada-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
        if (!CreateDirectoryW(path_.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            throw Abort("cannot create " + Utf8(path_));
        }
    }
    ~ScratchFolder() {
        for (const std::wstring& file : files_) DeleteFileW(file.c_str());
        RemoveDirectoryW(path_.c_str());
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::wstring Copy(const std::wstring& from, const std::wstring& name) {
        const std::wstring to = path_ + name;
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
            throw Abort(Format("cannot copy %s (error %lu)", Utf8(from).c_str(), GetLastError()));
        }
        files_.push_back(to);
        return to;
    }

private:
    std::wstring path_;
    std::vector<std::wstring> files_;
};

// A small resource tool: hides a resource in a copy of an executable by
// renaming it in place in the resource directory, so that nothing else in
// the file moves.
class ResourceEditor {
public:
    explicit ResourceEditor(const std::wstring& file) : file_(file) {
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) throw Abort("cannot open " + Utf8(file));
        LARGE_INTEGER size{};
        GetFileSizeEx(handle, &size);
        bytes_.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        ReadFile(handle, bytes_.data(), static_cast<DWORD>(bytes_.size()), &read, nullptr);
        CloseHandle(handle);
        if (read != bytes_.size()) throw Abort("cannot read " + Utf8(file));
        FindResourceSection();
    }

    // Gives a resource type another number (one no one asks for).
    void RenumberType(WORD type, WORD to) { TypeEntry(type).Id = to; }

    // Gives a named resource another name of the same length. The name must
    // keep its place in the order of the type's names.
    void Rename(WORD type, const std::wstring& name, const std::wstring& to) {
        if (to.size() != name.size()) throw Abort("a resource's new name must be as long as its old one");
        const IMAGE_RESOURCE_DIRECTORY_ENTRY& typeEntry = TypeEntry(type);
        if (!typeEntry.DataIsDirectory) throw Abort("a damaged resource directory");
        const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry =
            Entry(typeEntry.OffsetToDirectory, [&](const IMAGE_RESOURCE_DIRECTORY_ENTRY& e) {
                if (!e.NameIsString) return false;
                auto* string = At<IMAGE_RESOURCE_DIR_STRING_U>(rsrc_ + e.NameOffset);
                return std::wstring(string->NameString, string->Length) == name;
            });
        auto* string = At<IMAGE_RESOURCE_DIR_STRING_U>(rsrc_ + entry.NameOffset);
        std::memcpy(string->NameString, to.data(), to.size() * sizeof(wchar_t));
    }

    void Save() {
        HANDLE handle = CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) throw Abort("cannot write " + Utf8(file_));
        DWORD written = 0;
        WriteFile(handle, bytes_.data(), static_cast<DWORD>(bytes_.size()), &written, nullptr);
        CloseHandle(handle);
        if (written != bytes_.size()) throw Abort("cannot write " + Utf8(file_));
    }

private:
    template <typename T>
    T* At(std::size_t offset) {
        if (offset + sizeof(T) > bytes_.size()) throw Abort("a damaged executable");
        return reinterpret_cast<T*>(bytes_.data() + offset);
    }

    void FindResourceSection() {
        auto* nt = At<IMAGE_NT_HEADERS>(static_cast<std::size_t>(At<IMAGE_DOS_HEADER>(0)->e_lfanew));
        const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
        const std::size_t sections = reinterpret_cast<char*>(&nt->OptionalHeader) -
                                     bytes_.data() + nt->FileHeader.SizeOfOptionalHeader;
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const auto* s = At<IMAGE_SECTION_HEADER>(sections + i * sizeof(IMAGE_SECTION_HEADER));
            if (rva != 0 && rva >= s->VirtualAddress && rva < s->VirtualAddress + s->Misc.VirtualSize) {
                rsrc_ = rva - s->VirtualAddress + s->PointerToRawData;
                return;
            }
        }
        throw Abort("the executable has no resources");
    }

    IMAGE_RESOURCE_DIRECTORY_ENTRY& TypeEntry(WORD type) {
        return Entry(0, [&](const IMAGE_RESOURCE_DIRECTORY_ENTRY& e) { return !e.NameIsString && e.Id == type; });
    }

    IMAGE_RESOURCE_DIRECTORY_ENTRY& Entry(std::size_t directory,
                                          const std::function<bool(const IMAGE_RESOURCE_DIRECTORY_ENTRY&)>& match) {
        const auto* dir = At<IMAGE_RESOURCE_DIRECTORY>(rsrc_ + directory);
        const std::size_t count = dir->NumberOfNamedEntries + dir->NumberOfIdEntries;
        for (std::size_t i = 0; i < count; ++i) {
            auto* entry = At<IMAGE_RESOURCE_DIRECTORY_ENTRY>(rsrc_ + directory + sizeof *dir +
                                                             i * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY));
            if (match(*entry)) return *entry;
        }
        throw Abort("the executable lacks the resource");
    }

    std::wstring file_;
    std::vector<char> bytes_;
    std::size_t rsrc_ = 0;
};

bool HasResource(const std::wstring& file, LPCWSTR type, LPCWSTR name) {
    HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) throw Abort("cannot load " + Utf8(file) + " as data");
    const bool found = FindResourceW(module, name, type) != nullptr;
    FreeLibrary(module);
    return found;
}

// Wine's load order for one program, chosen by its file name:
// "" = the DLL is not loaded at all, "native" = a DLL file from the
// program's folder is loaded before Wine's own. (Wine takes no
// WINEDLLOVERRIDES from the environment a process is started with.)
class DllOverride {
public:
    DllOverride(const std::wstring& exeName, const wchar_t* dll, const wchar_t* order)
        : key_(L"Software\\Wine\\AppDefaults\\" + exeName) {
        HKEY key = nullptr;
        const std::wstring overrides = key_ + L"\\DllOverrides";
        LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, overrides.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                      &key, nullptr);
        if (result == ERROR_SUCCESS) {
            result = RegSetValueExW(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                                    static_cast<DWORD>((std::wcslen(order) + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
        if (result != ERROR_SUCCESS) throw Abort(Format("cannot set Wine's load order (error %ld)", result));
    }
    ~DllOverride() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
    DllOverride(const DllOverride&) = delete;
    DllOverride& operator=(const DllOverride&) = delete;

private:
    std::wstring key_;
};

std::wstring DriverFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

enum class Missing { CommonControls, InitCommonControlsEx, IconGroup };

struct MissingCase {
    const char* name;
    Missing what;
};

// The program runs without what it can do without: the common-controls
// library or its InitCommonControlsEx (a system older than the manifest's
// version 6, so the copy of the program has no manifest either), or its
// icon group "AAA". It starts, shows its window, reports nothing, joins and
// ends normally.
void MissingPieces(TestContext& t) {
    const MissingCase cases[] = {
        {"no comctl32", Missing::CommonControls},
        {"a comctl32 without InitCommonControlsEx", Missing::InitCommonControlsEx},
        {"no icon group AAA", Missing::IconGroup},
    };
    ScratchFolder folder;
    // A DLL of ours exporting nothing the program asks for stands in for an
    // old comctl32.
    folder.Copy(DriverFolder() + L"ostrada_e2e_hook.dll", L"comctl32.dll");
    for (const MissingCase& c : cases) {
        const std::string name = Format("[%s]", c.name);
        const std::wstring exeName = c.what == Missing::IconGroup            ? L"ostrada-no-icons.exe"
                                     : c.what == Missing::CommonControls ? L"ostrada-no-comctl32.exe"
                                                                         : L"ostrada-old-comctl32.exe";
        const std::wstring exe = folder.Copy(TheOptions().exe, exeName);
        ResourceEditor editor(exe);
        if (c.what == Missing::IconGroup) {
            editor.Rename(14 /* RT_GROUP_ICON */, L"AAA", L"ZZZ");
        } else {
            editor.RenumberType(24 /* RT_MANIFEST */, 0x7FFF);
        }
        editor.Save();
        t.Require(!HasResource(exe, RT_GROUP_ICON, L"AAA") == (c.what == Missing::IconGroup) &&
                      !HasResource(exe, RT_MANIFEST, MAKEINTRESOURCEW(1)) == (c.what != Missing::IconGroup),
                  name + " the copy of the program is not as it should be");
        std::optional<DllOverride> order;
        if (c.what == Missing::CommonControls) order.emplace(exeName, L"comctl32", L"");
        if (c.what == Missing::InitCommonControlsEx) order.emplace(exeName, L"comctl32", L"native");

        Launch launch;
        launch.exe = exe;
        Program p(L"", launch);
        const ModuleAnswer comctl32 = AskModule(p, L"comctl32.dll", "InitCommonControlsEx");
        switch (c.what) {
        case Missing::CommonControls:
            t.Check(!comctl32.loaded, name + " comctl32 is loaded from " + Utf8(comctl32.path));
            break;
        case Missing::InitCommonControlsEx:
            t.Check(comctl32.loaded && !comctl32.functionFound &&
                        _wcsnicmp(comctl32.path, exe.c_str(), exe.size() - exeName.size()) == 0,
                    Format("%s comctl32 loaded %d from %s, InitCommonControlsEx found %d", name.c_str(),
                           comctl32.loaded, Utf8(comctl32.path).c_str(), comctl32.functionFound));
            break;
        case Missing::IconGroup:
            t.Check(comctl32.loaded && comctl32.functionFound, name + " the program ran without comctl32's "
                                                                      "InitCommonControlsEx");
            break;
        }
        const auto icons = p.Ask<IconAnswer>(Query::Icons);
        const bool hasIcons = icons.big[0].present && icons.small[0].present && icons.big[1].present &&
                              icons.small[1].present;
        const bool noIcons = !icons.big[0].present && !icons.small[0].present && !icons.big[1].present &&
                             !icons.small[1].present;
        t.Check(c.what == Missing::IconGroup ? noIcons : hasIcons,
                Format("%s icons: form big %d small %d, owner big %d small %d", name.c_str(), icons.big[0].present,
                       icons.small[0].present, icons.big[1].present, icons.small[1].present));
        t.Check(!MessageBoxOf(p.Pid()).has_value(), name + " the program shows a message box");
        t.Check(IsWindowVisible(p.Form()) && !IsIconic(p.Form()), name + " the window is not shown normally");

        p.SetBoxText(L"still\r\njoins");
        p.ClickGo();
        CheckText(t, p.BoxText(), L"still joins", name + " the box after Go");
        Post(p.Control(kIdExit), BM_CLICK, 0, 0);
        const auto code = p.WaitForExit(30);
        t.Check(code.has_value() && *code == 0,
                code ? Format("%s exit code 0x%lX", name.c_str(), *code) : name + " the program did not end");
    }
}

// ================================================================ no leaks

// A count that must come back to where it was.
void CheckFlat(TestContext& t, const char* what, std::uint64_t before, std::uint64_t after) {
    t.Check(after == before, Format("%s: %llu before, %llu after", what, static_cast<unsigned long long>(before),
                                    static_cast<unsigned long long>(after)));
}

// Memory may wander a little as caches fill; a leak of a copy of the text per
// press would be hundreds of times more than the slack.
void CheckMemoryFlat(TestContext& t, const char* what, std::uint64_t before, std::uint64_t after,
                     std::uint64_t slack) {
    t.Check(after <= before + slack, Format("%s grew from %.2f MiB to %.2f MiB (allowed: %.2f MiB)", what,
                                            Mib(before), Mib(after), Mib(slack)));
}

void ManyGoPresses(TestContext& t, int presses) {
    // Two KiB of text, so that a copy left behind per press adds up to
    // megabytes.
    const std::wstring text = LinesOfWords(1024, 99, 8);
    const std::wstring joined = Joined(text);
    Program p(L"");
    auto pressGo = [&] {
        Paste(p, text);
        p.ClickGo();
    };
    // Caches fill and buffers reach their sizes first.
    for (int i = 0; i < 50; ++i) pressGo();
    const ResourceAnswer before = Resources(p);
    const ULONGLONG started = GetTickCount64();
    for (int i = 1; i <= presses; ++i) {
        pressGo();
        if (i % 100 == 0 && !CheckText(t, p.AskText(), joined, Format("after Go number %d", i))) return;
    }
    const double seconds = Since(started);
    const ResourceAnswer after = Resources(p);
    t.Note(Format("%d pastes and Go presses in %.1f s", presses, seconds));
    t.Note("before: " + Describe(before));
    t.Note("after:  " + Describe(after));
    CheckFlat(t, "GDI objects", before.gdiObjects, after.gdiObjects);
    CheckFlat(t, "windows", before.windows, after.windows);
    CheckFlat(t, "icons and cursors", before.icons, after.icons);
    CheckFlat(t, "menus", before.menus, after.menus);
    CheckMemoryFlat(t, "heap in use", before.heapBytes, after.heapBytes, 256u << 10);
    CheckMemoryFlat(t, "private memory", before.privateBytes, after.privateBytes, 4u << 20);
}

BOOL CALLBACK CountTopLevel(HWND, LPARAM count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int TopLevelWindows() {
    int count = 0;
    EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&count));
    return count;
}

// Starts and ends the program again and again: every run holds what the
// first did, and nothing of them stays behind on the desktop.
void ManyStarts(TestContext& t, int cycles) {
    {
        Program warmUp(L"");
    }
    const int windowsBefore = TopLevelWindows();
    std::optional<ResourceAnswer> first;
    ResourceAnswer last{};
    const ULONGLONG started = GetTickCount64();
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        Program p(L"");
        if (cycle == 1 || cycle == cycles) {
            last = Resources(p);
            if (!first) first = last;
        }
        Post(p.Control(kIdExit), BM_CLICK, 0, 0);
        const auto code = p.WaitForExit(30);
        if (!t.Check(code.has_value() && *code == 0,
                     code ? Format("start %d: exit code 0x%lX", cycle, *code) : Format("start %d: did not end", cycle))) {
            return;
        }
    }
    const double seconds = Since(started);
    t.Note(Format("%d starts and exits in %.1f s", cycles, seconds));
    t.Note("first run: " + Describe(*first));
    t.Note("last run:  " + Describe(last));
    t.Note(Format("top-level windows on the desktop: %d before, %d after", windowsBefore, TopLevelWindows()));
    CheckFlat(t, "GDI objects of a fresh run", first->gdiObjects, last.gdiObjects);
    CheckFlat(t, "windows of a fresh run", first->windows, last.windows);
    CheckFlat(t, "icons and cursors of a fresh run", first->icons, last.icons);
    CheckMemoryFlat(t, "heap in use by a fresh run", first->heapBytes, last.heapBytes, 256u << 10);
    CheckFlat(t, "top-level windows on the desktop", windowsBefore, TopLevelWindows());
}

// ================================================================ unhandled errors

// With the test seam on, an error raised in the form's window procedure is
// reported in a message box and ends the program with a non-zero exit code.
// Without it the message does nothing.
void UnhandledError(TestContext& t) {
    const UINT testError = RegisterWindowMessageW(L"Ostrada.TestError");
    for (bool seams : {true, false}) {
        const std::string name = seams ? "[seams on]" : "[seams off]";
        Launch launch;
        launch.environment.push_back(seams ? L"OSTRADA_TEST_SEAMS=1" : L"OSTRADA_TEST_SEAMS=");
        Program p(L"", launch);
        p.SetBoxText(L"kept\r\ntext");
        Post(p.Form(), testError, 0, 0);
        if (!seams) {
            // Posted messages come in order: the hook answers after the form
            // has had the test message.
            p.Ask<PlacementAnswer>(Query::Placement);
            t.Check(!MessageBoxOf(p.Pid()).has_value(), name + " a message box came up");
            t.Check(p.Running(), name + " the program ended");
            CheckText(t, p.BoxText(), L"kept\r\ntext", name + " the box");
            continue;
        }
        const std::optional<SeenBox> box = WaitForMessageBox(p, 30);
        if (!t.Check(box.has_value(), name + " no message box")) continue;
        t.Check(box->caption == kApplicationTitle, name + " message box caption " + Visible(box->caption));
        t.Check(box->text.rfind(L"Run-time error", 0) == 0, name + " message " + Visible(box->text));
        t.Check(p.Running(), name + " the program ended before the message was dismissed");
        t.Check(DismissMessageBox(*box), name + " the message box did not go away");
        const auto code = p.WaitForExit(30);
        t.Check(code.has_value() && *code != 0,
                code ? Format("%s exit code %lu", name.c_str(), *code) : name + " the program did not end");
    }
}

// ================================================================ argument texts

struct ArgumentCase {
    const char* name;
    std::wstring argumentText;
    bool minimised;
};

// Only the argument text "-st" minimises; the blanks and tabs between the
// program's path and the argument text are the runtime's separator. Cases
// the start_modes test has already are not repeated.
void ArgumentTexts(TestContext& t) {
    const ArgumentCase cases[] = {
        {"quoted", L"\"-st\"", false},
        {"blanks around", L"  -st  ", false},
        {"blanks before", L"   -st", true},
        {"a tab before", L"\t-st", true},
        {"a tab after", L"-st\t", false},
        {"30,000 characters", L"-st" + std::wstring(29997, L'x'), false},
        {"Hebrew", L"\u05E9\u05DC\u05D5\u05DD", false},
        {"full-width -st", L"\uFF0D\uFF53\uFF54", false},
        {"a minus sign", L"\u2212st", false},
        {"a soft hyphen", L"-\u00ADst", false},
    };
    for (const ArgumentCase& c : cases) {
        const std::string name = Format("[%s]", c.name);
        Program p(c.argumentText, true);
        const std::wstring commandLine = AskCommandLine(p);
        t.Check(commandLine.size() >= c.argumentText.size() &&
                    commandLine.compare(commandLine.size() - c.argumentText.size(), std::wstring::npos,
                                        c.argumentText) == 0,
                name + " the program's command line ends in " + Visible(commandLine.substr(
                                                                      commandLine.size() > 40 ? commandLine.size() - 40 : 0)));
        const std::vector<MinMaxRecord> log = p.MinMaxLog();
        const auto where = p.Ask<PlacementAnswer>(Query::Placement);
        t.Check(where.visible != 0, name + " the window is not visible");
        if (c.minimised) {
            t.Check(log.size() == 1 && log[0].showCommand == SW_MINIMIZE && where.iconic,
                    Format("%s %zu minimise or maximise steps, minimised %d; expected one minimise", name.c_str(),
                           log.size(), where.iconic));
        } else {
            t.Check(log.empty() && !where.iconic && where.placement.showCmd == SW_SHOWNORMAL,
                    Format("%s %zu minimise or maximise steps, minimised %d, showCmd %u; expected a normal start",
                           name.c_str(), log.size(), where.iconic, where.placement.showCmd));
        }
    }
}

// ================================================================ registration

// Sizes of the default run, and of scripts/soak.
constexpr std::size_t kHugeUnits = std::size_t{32} << 20;      // 64 MiB of UTF-16
constexpr std::size_t kHugestUnits = std::size_t{128} << 20;   // 256 MiB of UTF-16
constexpr int kGoPresses = 1000;
constexpr int kSoakGoPresses = 10000;
constexpr int kStarts = 20;
constexpr int kSoakStarts = 100;

const bool kRegistered = [] {
    const std::vector<std::string> full{"full"};
    const std::vector<std::string> soak{"soak"};
    Register({"odd_text", full, OddText});
    Register({"argument_texts", full, ArgumentTexts});
    Register({"unhandled_error", full, UnhandledError});
    Register({"missing_pieces", full, MissingPieces});
    Register({"go_without_memory", full, GoWithoutMemory});
    Register({"many_go_presses", full, [](TestContext& t) { ManyGoPresses(t, kGoPresses); }});
    Register({"many_starts", full, [](TestContext& t) { ManyStarts(t, kStarts); }});
    Register({"huge_paste", full, [](TestContext& t) { HugePaste(t, kHugeUnits); }});
    Register({"hugest_paste", soak, [](TestContext& t) { HugePaste(t, kHugestUnits); }});
    Register({"many_more_go_presses", soak, [](TestContext& t) { ManyGoPresses(t, kSoakGoPresses); }});
    Register({"many_more_starts", soak, [](TestContext& t) { ManyStarts(t, kSoakStarts); }});
    return true;
}();

}  // namespace
}  // namespace ostrada_e2e

// ostrada_e2e.exe: starts ostrada.exe and drives it through window messages.
//
//   ostrada_e2e.exe --exe PATH [--suite full|smoke|soak] [--only NAME[,NAME...]]
//                   [--slow FACTOR] [--watchdog SECONDS] [--list]
//
// Prints "PLAN" and the names of the tests it will run, then for each test
// "RUN name", its failures, and "PASS name" or "FAIL name"; then a count. Exit code: 0 all passed, 1 a test failed, 2 bad
// arguments, 3 the watchdog ended the run.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "e2e_support.h"

namespace {

std::string Narrow(const wchar_t* text) { return ostrada_e2e::Utf8(text); }

int Usage(const std::string& problem) {
    ostrada_e2e::Print("ostrada_e2e: " + problem);
    ostrada_e2e::Print(
        "usage: ostrada_e2e.exe --exe PATH [--suite full|smoke|soak] [--only NAME[,NAME...]] "
        "[--slow FACTOR] [--watchdog SECONDS] [--list]");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Plain "\n" line ends: the output is read by shell scripts.
    _setmode(_fileno(stdout), _O_BINARY);
    ostrada_e2e::Options options;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == L"--list") {
            options.list = true;
        } else if (!hasValue) {
            return Usage("missing value after " + Narrow(argv[i]));
        } else if (arg == L"--exe") {
            options.exe = argv[++i];
        } else if (arg == L"--suite") {
            options.suite = Narrow(argv[++i]);
        } else if (arg == L"--only") {
            std::string names = Narrow(argv[++i]);
            std::size_t start = 0;
            while (start <= names.size()) {
                std::size_t comma = names.find(',', start);
                if (comma == std::string::npos) comma = names.size();
                if (comma > start) options.only.push_back(names.substr(start, comma - start));
                start = comma + 1;
            }
        } else if (arg == L"--slow") {
            options.slow = std::wcstod(argv[++i], nullptr);
        } else if (arg == L"--watchdog") {
            options.watchdogSeconds = std::wcstol(argv[++i], nullptr, 10);
        } else {
            return Usage("unknown argument " + Narrow(argv[i]));
        }
    }
    if (options.suite != "full" && options.suite != "smoke" && options.suite != "soak") {
        return Usage("unknown suite " + options.suite);
    }
    if (options.slow <= 0) return Usage("--slow needs a positive factor");
    if (options.watchdogSeconds <= 0) return Usage("--watchdog needs a positive number of seconds");
    if (options.exe.empty() && !options.list) return Usage("--exe is required");
    return ostrada_e2e::RunTests(options);
}

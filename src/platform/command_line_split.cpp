// The splitting rules of CommandLineToArgvW, written out so that the POSIX
// layer starts programs from the same command lines the Windows build passes.
#include "platform/platform.h"

namespace platform {

namespace {
bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }
}  // namespace

std::vector<std::wstring> split_command_line(std::wstring_view line) {
    std::vector<std::wstring> args;
    std::size_t i = 0;
    const std::size_t n = line.size();

    // The program name: a leading quote runs to the next quote, anything else
    // to the next blank; nothing is escaped and no other quote counts.
    std::wstring program;
    if (n > 0 && line[0] == L'"') {
        for (i = 1; i < n && line[i] != L'"'; ++i) program += line[i];
        if (i < n) ++i;
    } else {
        for (; i < n && !is_blank(line[i]); ++i) program += line[i];
    }
    args.push_back(program);

    while (true) {
        while (i < n && is_blank(line[i])) ++i;
        if (i >= n) break;
        std::wstring arg;
        int quotes = 0;               // 1 inside quotes; counts a run of quotes up to 3
        std::size_t backslashes = 0;  // the run just copied into arg
        while (i < n) {
            const wchar_t c = line[i];
            if (quotes == 0 && is_blank(c)) break;
            if (c == L'\\') {
                arg += c;
                ++backslashes;
                ++i;
                continue;
            }
            if (c != L'"') {
                arg += c;
                backslashes = 0;
                ++i;
                continue;
            }
            // Backslashes before a quote: each pair is one backslash; an odd
            // one left over makes the quote literal.
            if (backslashes % 2 == 0) {
                arg.resize(arg.size() - backslashes / 2);
                ++quotes;
            } else {
                arg.resize(arg.size() - backslashes / 2 - 1);
                arg += L'"';
            }
            backslashes = 0;
            ++i;
            // In a run of quotes every third one is literal and leaves quoting
            // (the rule of the older C runtimes, which the system call keeps).
            for (; i < n && line[i] == L'"'; ++i) {
                if (++quotes == 3) {
                    arg += L'"';
                    quotes = 0;
                }
            }
            if (quotes == 2) quotes = 0;
        }
        args.push_back(arg);
    }
    return args;
}

}  // namespace platform

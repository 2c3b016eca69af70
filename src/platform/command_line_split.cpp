// The splitting rules of CommandLineToArgvW, written out so that the POSIX
// layer starts programs from the same command lines the Windows build passes.
#include "platform/platform.h"

namespace platform {

std::vector<std::wstring> split_command_line(std::wstring_view line) {
    std::vector<std::wstring> args;
    std::size_t i = 0;
    const std::size_t n = line.size();

    // The program name: quotes group, nothing is escaped.
    std::wstring program;
    bool quoted = false;
    for (; i < n; ++i) {
        const wchar_t c = line[i];
        if (c == L'"') {
            quoted = !quoted;
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            break;
        } else {
            program += c;
        }
    }
    args.push_back(program);

    while (true) {
        while (i < n && (line[i] == L' ' || line[i] == L'\t')) ++i;
        if (i >= n) break;
        std::wstring arg;
        bool in_quotes = false;
        while (i < n) {
            const wchar_t c = line[i];
            if (!in_quotes && (c == L' ' || c == L'\t')) break;
            if (c == L'\\') {
                std::size_t backslashes = 0;
                while (i < n && line[i] == L'\\') ++backslashes, ++i;
                if (i < n && line[i] == L'"') {
                    arg.append(backslashes / 2, L'\\');
                    if (backslashes % 2 == 1) {
                        arg += L'"';
                        ++i;
                    }
                    // An even run leaves the quote to toggle quoting below.
                } else {
                    arg.append(backslashes, L'\\');
                }
                continue;
            }
            if (c == L'"') {
                if (in_quotes && i + 1 < n && line[i + 1] == L'"') {
                    // A doubled quote inside quotes is a literal quote (and
                    // quoting continues, as the system does since 2008).
                    arg += L'"';
                    i += 2;
                    continue;
                }
                in_quotes = !in_quotes;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(arg);
    }
    return args;
}

}  // namespace platform

// Watches the visible top-level windows of other processes on the same Wine
// desktop, reports them on standard output and answers message boxes, as a
// person in front of the screen would. Runs until its standard input ends.
//   dialog_helper [--try-close <class>] [yes|no]...
//     answers for the yes/no questions, in order (No when none is left); other
//     boxes get OK. Windows of the class given are sent Alt+F4 once, when
//     they have been up for half a second.
// Records, UTF-8, each ended by a NUL byte:
//   ready                         the first look is done; it looks every 20 ms
//   window\t<class>\t[title] text a window appeared or changed (text: its
//                                 first static control)
//   gone\t<class>                 that window is no longer visible
//   closed\t<class>               that window let Alt+F4 close it
//   box\t[title] text             a message box, reported once, then answered
#include <windows.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile bool input_open = true;

std::wstring text_of(HWND window) {
    wchar_t buffer[4096] = {};
    GetWindowTextW(window, buffer, 4096);
    return buffer;
}

std::wstring class_of(HWND window) {
    wchar_t buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    return buffer;
}

// A message box's text is its static control 0xFFFF; other windows show their
// first static control.
std::wstring static_text(HWND window) {
    HWND text = GetDlgItem(window, 0xFFFF);
    if (!text) text = FindWindowExW(window, nullptr, L"Static", nullptr);
    return text ? text_of(text) : L"";
}

void emit(const std::wstring& record) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, record.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');  // keeps the terminating NUL
    WideCharToMultiByte(CP_UTF8, 0, record.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

BOOL CALLBACK collect(HWND window, LPARAM list) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != GetCurrentProcessId() && IsWindowVisible(window)) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    }
    return TRUE;
}

void press(HWND box, int id) { PostMessageW(GetDlgItem(box, id), BM_CLICK, 0, 0); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool close_option = argc > 2 && std::wstring(argv[1]) == L"--try-close";
    const std::wstring closable = close_option ? argv[2] : L"";
    std::vector<std::wstring> answers(argv + (close_option ? 3 : 1), argv + argc);
    size_t next_answer = 0;
    std::thread([] {
        char c;
        while (fread(&c, 1, 1, stdin) == 1) {}
        input_open = false;
    }).detach();

    std::map<HWND, std::wstring> shown;  // other windows: "<class>\t[title] text"
    std::set<HWND> answered, tried;
    std::map<HWND, ULONGLONG> since;  // when a window was first seen
    for (bool first = true; input_open; first = false) {
        std::vector<HWND> windows;
        EnumWindows(collect, reinterpret_cast<LPARAM>(&windows));
        std::map<HWND, std::wstring> now;
        std::vector<HWND> boxes;
        for (HWND w : windows) {
            if (class_of(w) == L"#32770") boxes.push_back(w);
            else now[w] = class_of(w) + L"\t[" + text_of(w) + L"] " + static_text(w);
        }
        // Windows that went away are reported before the boxes that follow them.
        for (const auto& [w, record] : shown) {
            if (!now.count(w)) emit(L"gone\t" + record.substr(0, record.find(L'\t')));
        }
        for (const auto& [w, record] : now) {
            const auto before = shown.find(w);
            if (before == shown.end() || before->second != record) emit(L"window\t" + record);
            // Only a window up for half a second: one that closes itself at this
            // moment must not look as if Alt+F4 had closed it.
            if (!since.count(w)) since[w] = GetTickCount64();
            if (class_of(w) != closable || GetTickCount64() - since[w] < 500 ||
                !tried.insert(w).second) {
                continue;
            }
            SendMessageTimeoutW(w, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_ABORTIFHUNG, 1000, nullptr);
            if (!IsWindow(w)) emit(L"closed\t" + record.substr(0, record.find(L'\t')));
        }
        shown = now;
        for (HWND box : boxes) {
            if (!answered.insert(box).second) continue;
            emit(L"box\t[" + text_of(box) + L"] " + static_text(box));
            if (GetDlgItem(box, IDYES)) {
                const bool yes = next_answer < answers.size() && answers[next_answer] == L"yes";
                ++next_answer;
                press(box, yes ? IDYES : IDNO);
            } else {
                press(box, GetDlgItem(box, IDOK) ? IDOK : IDCANCEL);
            }
        }
        if (first) emit(L"ready");
        Sleep(20);
    }
    return 0;
}

// Watches the visible top-level windows of other processes on the Wine desktop
// as a person in front of the screen would, looking every 20 ms until it is
// ended, and reports them on standard output:
//   dialog_helper <progress window class> [yes|no]...
// Records, UTF-8, each ended by a NUL byte:
//   ready                     the first look is done
//   progress\t[title] text    the progress window appeared or changed (text:
//                             its first static control)
//   closed\t[title] text      it let Alt+F4, sent once after half a second, close it
//   box\t[title] text         a message box, reported once and answered: the
//                             yes/no questions by the answers in turn (No when
//                             none is left), the others by OK
//   beside\t[title] text      a message box shown while another window of its
//                             own process was up (the restarted application's
//                             console window is no concern of the updater's)
#include <windows.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring get(int(WINAPI* read)(HWND, LPWSTR, int), HWND window) {  // its text or class
    wchar_t buffer[4096] = {};
    read(window, buffer, 4096);
    return buffer;
}

// A message box's text is its static control 0xFFFF.
std::wstring shown(HWND window) {
    HWND text = GetDlgItem(window, 0xFFFF);
    if (!text) text = FindWindowExW(window, nullptr, L"Static", nullptr);
    return L"[" + get(GetWindowTextW, window) + L"] " + (text ? get(GetWindowTextW, text) : L"");
}

void emit(const std::wstring& kind, const std::wstring& record = L"") {
    const std::wstring line = record.empty() ? kind : kind + L"\t" + record;
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');  // keeps the terminating NUL
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, bytes.data(), size, nullptr, nullptr);
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    int next_answer = 2;
    std::map<HWND, std::wstring> progress_shown;
    std::map<HWND, ULONGLONG> first_seen;
    std::set<HWND> answered, tried;
    for (bool first = true;; first = false) {
        std::vector<HWND> windows;
        EnumWindows(collect, reinterpret_cast<LPARAM>(&windows));
        std::set<DWORD> with_window;  // processes with a window other than a box up
        for (HWND w : windows) {
            if (get(GetClassNameW, w) == L"#32770") continue;
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            with_window.insert(pid);
            if (get(GetClassNameW, w) != argv[1]) continue;
            if (progress_shown[w] != shown(w)) emit(L"progress", progress_shown[w] = shown(w));
            // Only after half a second: a window that closes itself at this moment
            // must not look as if Alt+F4 had closed it.
            if (!first_seen.count(w)) first_seen[w] = GetTickCount64();
            if (GetTickCount64() - first_seen[w] < 500 || !tried.insert(w).second) continue;
            SendMessageTimeoutW(w, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_ABORTIFHUNG, 1000, nullptr);
            if (!IsWindow(w)) emit(L"closed", progress_shown[w]);
        }
        for (HWND box : windows) {
            if (get(GetClassNameW, box) != L"#32770" || !answered.insert(box).second) continue;
            DWORD pid = 0;
            GetWindowThreadProcessId(box, &pid);
            emit(with_window.count(pid) ? L"beside" : L"box", shown(box));
            int button = GetDlgItem(box, IDOK) ? IDOK : IDCANCEL;
            if (GetDlgItem(box, IDYES)) {
                button = next_answer < argc && std::wstring(argv[next_answer]) == L"yes" ? IDYES : IDNO;
                ++next_answer;
            }
            PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
        }
        if (first) emit(L"ready");
        Sleep(20);
    }
}

// dialog_helper <records file> [yes|no]...: looks at the windows every 20 ms; after its first look
// it makes the file, then adds UTF-16 records, each ended by a NUL:
//   progress\t[title] text  the progress window appeared or changed
//   closed\t[title] text    Alt+F4, sent once after half a second, closed it
//   [title] text            a box, answered Yes or No in turn (then No), or OK
//   beside\t[title] text    a box shown while another window of its own process was up
#include <windows.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

static std::wstring get(int(WINAPI* read)(HWND, LPWSTR, int), HWND window) {  // text or class
    wchar_t buffer[4096] = {};
    read(window, buffer, 4096);
    return buffer;
}

static DWORD owner(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

static std::wstring shown(HWND window) {  // a box's text is its static control 0xFFFF
    HWND text = GetDlgItem(window, 0xFFFF);
    if (!text) text = FindWindowExW(window, nullptr, L"Static", nullptr);
    return L"[" + get(GetWindowTextW, window) + L"] " + get(GetWindowTextW, text) + L'\0';
}

int wmain(int argc, wchar_t** argv) {
    FILE* out = nullptr;
    int next_answer = 2;
    std::map<HWND, std::wstring> progress;
    std::map<HWND, ULONGLONG> first_seen;
    std::set<HWND> answered;
    for (;; Sleep(20)) {
        std::vector<HWND> windows;
        EnumWindows(
            [](HWND window, LPARAM list) {
                if (IsWindowVisible(window))
                    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&windows));
        std::wstring records;
        std::set<DWORD> with_window;  // processes with a window other than a box up
        for (HWND w : windows) {
            if (get(GetClassNameW, w) == L"#32770") continue;
            with_window.insert(owner(w));
            if (get(GetClassNameW, w) != L"LumetraUpdaterProgress") continue;
            if (progress[w] != shown(w)) records += L"progress\t" + (progress[w] = shown(w));
            // Not at once: a window closing itself just then must not look closed by Alt+F4.
            auto& first = first_seen.emplace(w, GetTickCount64()).first->second;
            if (!first || GetTickCount64() - first < 500) continue;
            first = 0;  // Wine takes 2 s to close
            if (SendMessageTimeoutW(w, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_ABORTIFHUNG, 9000, 0) &&
                !IsWindow(w))
                records += L"closed\t" + progress[w];
        }
        for (HWND box : windows) {
            if (get(GetClassNameW, box) != L"#32770" || !answered.insert(box).second) continue;
            records += (with_window.count(owner(box)) ? L"beside\t" : L"") + shown(box);
            int button = GetDlgItem(box, IDOK) ? IDOK : IDCANCEL;
            if (GetDlgItem(box, IDYES))
                button = next_answer < argc && argv[next_answer++] == std::wstring(L"yes") ? IDYES
                                                                                           : IDNO;
            PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
        }
        if (!out && !(out = _wfopen(argv[1], L"wb"))) return 2;
        fwrite(records.data(), sizeof(wchar_t), records.size(), out);
        fflush(out);
    }
}

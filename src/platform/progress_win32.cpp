// The progress window: a class of its own on a thread of its own, so waiting,
// PowerShell and copying on the run's thread never freeze it. Its bar is drawn
// here: the system's marquee bar needs the version-6 common controls, which
// would also change the look of every message box.
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr wchar_t kClassName[] = L"LumetraUpdaterProgress";
constexpr UINT kCloseMessage = WM_APP + 1;
constexpr UINT_PTR kTimer = 1;
constexpr int kWidth = 440, kHeight = 110, kMargin = 20;
constexpr int kBarTop = 58, kBarHeight = 16, kBlock = 100, kStep = 8;

struct Progress {
    HANDLE thread = nullptr;
    HANDLE created = nullptr;
    HWND window = nullptr;  // set by the window's thread before `created` is signalled
    HWND line = nullptr;
    std::wstring first_stage;
    int offset = 0;  // the window's thread only
};
Progress progress;

RECT bar_rect() { return RECT{kMargin, kBarTop, kWidth - kMargin, kBarTop + kBarHeight}; }

void paint_bar(HDC dc) {
    RECT bar = bar_rect();
    FillRect(dc, &bar, GetSysColorBrush(COLOR_WINDOW));
    FrameRect(dc, &bar, GetSysColorBrush(COLOR_BTNSHADOW));
    const int inner = bar.right - bar.left - 2;
    const int left = bar.left + 1 + progress.offset % (inner + kBlock) - kBlock;
    RECT block{left < bar.left + 1 ? bar.left + 1 : left, bar.top + 1,
               left + kBlock > bar.right - 1 ? bar.right - 1 : left + kBlock, bar.bottom - 1};
    if (block.right > block.left) FillRect(dc, &block, GetSysColorBrush(COLOR_HIGHLIGHT));
}

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CLOSE:  // Alt+F4: there is nothing to cancel, least of all while files are replaced
            return 0;
        case WM_MOUSEACTIVATE:
            return MA_NOACTIVATE;
        case WM_TIMER: {
            progress.offset += kStep;
            RECT bar = bar_rect();
            InvalidateRect(window, &bar, FALSE);
            return 0;
        }
        case WM_PAINT: {
            PAINTSTRUCT paint;
            paint_bar(BeginPaint(window, &paint));
            EndPaint(window, &paint);
            return 0;
        }
        case kCloseMessage:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            KillTimer(window, kTimer);
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
    }
}

BOOL CALLBACK take_first_icon(HMODULE module, LPCWSTR, LPWSTR name, LONG_PTR icon) {
    *reinterpret_cast<HICON*>(icon) = LoadIconW(module, name);
    return FALSE;
}

DWORD WINAPI run_window(void*) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    HICON icon = nullptr;
    EnumResourceNamesW(instance, RT_GROUP_ICON, take_first_icon, reinterpret_cast<LONG_PTR>(&icon));
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = instance;
    window_class.hIcon = icon;
    window_class.hCursor = LoadCursorW(nullptr, IDC_APPSTARTING);
    window_class.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    window_class.lpszClassName = kClassName;
    RegisterClassExW(&window_class);  // fails harmlessly when a window was shown before

    // A caption without a system menu: no close button.
    const DWORD style = WS_POPUP | WS_CAPTION;
    const DWORD ex_style = WS_EX_NOACTIVATE | WS_EX_APPWINDOW;
    RECT frame{0, 0, kWidth, kHeight};
    AdjustWindowRectEx(&frame, style, FALSE, ex_style);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    HWND window = CreateWindowExW(ex_style, kClassName, L"Lumetra 升级", style,
                                  (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                  (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                                  nullptr, nullptr, instance, nullptr);
    HFONT font = nullptr;
    if (window) {
        progress.line =
            CreateWindowExW(0, L"STATIC", progress.first_stage.c_str(),
                            WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, kMargin, 20,
                            kWidth - 2 * kMargin, 26, window, nullptr, instance, nullptr);
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof metrics;
        if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
            font = CreateFontIndirectW(&metrics.lfMessageFont);
            SendMessageW(progress.line, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        }
        SetTimer(window, kTimer, 40, nullptr);
        ShowWindow(window, SW_SHOWNOACTIVATE);
        UpdateWindow(window);
    }
    progress.window = window;
    SetEvent(progress.created);
    if (!window) return 0;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (font) DeleteObject(font);
    return 0;
}

void end_thread() {
    WaitForSingleObject(progress.thread, INFINITE);
    CloseHandle(progress.thread);
    progress = Progress{};
}

}  // namespace

void show_progress(const std::wstring& stage) {
    if (progress.window) {
        SendMessageW(progress.line, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(stage.c_str()));
        return;
    }
    progress.first_stage = stage;
    progress.created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!progress.created) return;
    progress.thread = CreateThread(nullptr, 0, run_window, nullptr, 0, nullptr);
    if (progress.thread) WaitForSingleObject(progress.created, INFINITE);
    CloseHandle(progress.created);
    progress.created = nullptr;
    if (!progress.window && progress.thread) end_thread();  // no display: carry on without
}

void close_progress() {
    if (!progress.window) return;
    SendMessageW(progress.window, kCloseMessage, 0, 0);
    end_thread();
}

}  // namespace platform

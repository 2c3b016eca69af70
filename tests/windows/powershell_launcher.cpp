// powershell.exe of the Wine prefix used by the tests: starts pwsh.exe from its
// own folder with the same arguments and returns its exit code. PowerShell 7
// needs a console, which Wine gives a program started without a window only
// when it is started so itself; it also needs W^X off under Wine. A job
// object ends pwsh together with this process (the updater's time limit).
#include <windows.h>

#include <string>

int wmain() {
    ::SetEnvironmentVariableW(L"DOTNET_EnableWriteXorExecute", L"0");

    std::wstring self(32768, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const std::wstring pwsh = self.substr(0, self.find_last_of(L'\\') + 1) + L"pwsh.exe";

    // The arguments as given: the command line after the program element.
    const wchar_t* rest = ::GetCommandLineW();
    if (*rest == L'"') {
        for (++rest; *rest && *rest != L'"'; ++rest) {
        }
        if (*rest) ++rest;
    } else {
        while (*rest && *rest != L' ' && *rest != L'\t') ++rest;
    }
    std::wstring command = L"\"" + pwsh + L"\"" + rest;

    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr || !::SetInformationJobObject(job, JobObjectExtendedLimitInformation,
                                                     &limits, sizeof limits)) {
        return 90;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // CREATE_NO_WINDOW: Wine gives pwsh a console of its own without a window.
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                          &process)) {
        return 91;
    }
    if (!::AssignProcessToJobObject(job, process.hProcess)) {
        ::TerminateProcess(process.hProcess, 92);
        return 92;
    }
    ::ResumeThread(process.hThread);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 93;
    ::GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}

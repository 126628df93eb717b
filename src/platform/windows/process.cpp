#include "platform/process.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include <windows.h>

std::string execoo(const char* cmd, int* exitCode) {
    if (exitCode)
        *exitCode = -1;
    HANDLE hNul = CreateFileA("NUL", GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);

    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = NULL;
    si.hStdOutput = hNul;
    si.hStdError = hNul;

    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof(pi));

    // CreateProcessA may write into the command line, so it gets a copy.
    const char* text = cmd ? cmd : "";
    std::vector<char> commandLine(text, text + std::strlen(text) + 1);

    if (CreateProcessA(NULL, commandLine.data(), NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        if (exitCode && GetExitCodeProcess(pi.hProcess, &code))
            *exitCode = static_cast<int>(code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        if (hNul != INVALID_HANDLE_VALUE)
            CloseHandle(hNul);
        return "success";
    }

    // Read before CloseHandle can overwrite it.
    const DWORD error = GetLastError();
    std::fprintf(stderr, "CreateProcess failed with error code: %lu\n",
                 static_cast<unsigned long>(error));
    std::fflush(stderr);
    if (hNul != INVALID_HANDLE_VALUE)
        CloseHandle(hNul);
    return "";
}

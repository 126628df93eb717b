#include "platform/process.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <windows.h>

namespace {

// How often a watched run looks at its stop request and its limit.
constexpr DWORD kWatchStepMs = 50;

// A temporary file holding `data`, read from its start, inheritable, and
// deleted by the system once the last handle to it is closed.
HANDLE inputFile(const std::string& data) {
    char dir[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    const DWORD len = GetTempPathA(sizeof(dir), dir);
    if (len == 0 || len > sizeof(dir) || GetTempFileNameA(dir, "kro", 0, path) == 0)
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES sa;
    ZeroMemory(&sa, sizeof(sa));
    sa.nLength = sizeof(sa);
    sa.bInheritHandle = TRUE;
    HANDLE file = CreateFileA(
        path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        DeleteFileA(path);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    size_t done = 0;
    while (done < data.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file, data.data() + done, chunk, &written, NULL) || written == 0) {
            const DWORD error = GetLastError();
            CloseHandle(file);
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        done += written;
    }
    if (SetFilePointer(file, 0, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Cuts `step` to reach `at`; false once `at` has come.
bool ahead(ULONGLONG at, ULONGLONG now, DWORD* step) {
    if (at <= now)
        return false;
    if (at - now < *step)
        *step = static_cast<DWORD>(at - now);
    return true;
}

// Waits for the process in steps, ending it when asked to or at the limit.
ProcessEnd watch(HANDLE process, const ProcessOptions& options) {
    const ULONGLONG started = GetTickCount64();
    const ULONGLONG limit = static_cast<ULONGLONG>(options.limit.count());
    const ULONGLONG grace = static_cast<ULONGLONG>(options.stopGrace.count());
    ULONGLONG stopSeen = 0;
    bool stopping = false;
    for (;;) {
        DWORD step = kWatchStepMs;
        const ULONGLONG now = GetTickCount64();
        ProcessEnd end = ProcessEnd::Exited;
        if (limit > 0 && !ahead(started + limit, now, &step))
            end = ProcessEnd::TimedOut;
        if (end == ProcessEnd::Exited && !stopping && options.stopRequested &&
            options.stopRequested()) {
            stopping = true;
            stopSeen = now;
        }
        if (end == ProcessEnd::Exited && stopping && !ahead(stopSeen + grace, now, &step))
            end = ProcessEnd::Stopped;
        if (end != ProcessEnd::Exited) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, INFINITE);
            return end;
        }
        if (WaitForSingleObject(process, step) == WAIT_OBJECT_0)
            return ProcessEnd::Exited;
    }
}

} // namespace

ProcessEnd runProcess(const char* cmd, const ProcessOptions& options, int* exitCode) {
    if (exitCode)
        *exitCode = -1;
    HANDLE hNul = CreateFileA("NUL", GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    HANDLE hIn = NULL;
    if (options.input) {
        hIn = inputFile(*options.input);
        if (hIn == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            std::fprintf(stderr, "CreateProcess failed with error code: %lu\n",
                         static_cast<unsigned long>(error));
            std::fflush(stderr);
            if (hNul != INVALID_HANDLE_VALUE)
                CloseHandle(hNul);
            return ProcessEnd::NotStarted;
        }
    }

    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hIn;
    si.hStdOutput = hNul;
    si.hStdError = hNul;

    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof(pi));

    // CreateProcessA may write into the command line, so it gets a copy.
    const char* text = cmd ? cmd : "";
    std::vector<char> commandLine(text, text + std::strlen(text) + 1);

    ProcessEnd end = ProcessEnd::NotStarted;
    if (CreateProcessA(NULL, commandLine.data(), NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        if (options.limit.count() > 0 || options.stopRequested) {
            end = watch(pi.hProcess, options);
        } else {
            WaitForSingleObject(pi.hProcess, INFINITE);
            end = ProcessEnd::Exited;
        }
        DWORD code = 0;
        if (end == ProcessEnd::Exited && exitCode && GetExitCodeProcess(pi.hProcess, &code))
            *exitCode = static_cast<int>(code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    } else {
        // Read before CloseHandle can overwrite it.
        const DWORD error = GetLastError();
        std::fprintf(stderr, "CreateProcess failed with error code: %lu\n",
                     static_cast<unsigned long>(error));
        std::fflush(stderr);
    }
    if (hIn)
        CloseHandle(hIn);
    if (hNul != INVALID_HANDLE_VALUE)
        CloseHandle(hNul);
    return end;
}

std::string execoo(const char* cmd, int* exitCode) {
    return runProcess(cmd, ProcessOptions{}, exitCode) == ProcessEnd::NotStarted ? "" : "success";
}

std::size_t maxCommandLineLength() {
    // CreateProcess takes at most 32767 characters, the terminator included.
    return 32766;
}

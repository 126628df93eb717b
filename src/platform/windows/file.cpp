#include "platform/file.h"

#include <windows.h>

namespace {

std::wstring wide(const std::string& utf8) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

} // namespace

FileMove file_move_no_replace(const std::string& from, const std::string& to, std::string* error) {
    // Without MOVEFILE_REPLACE_EXISTING the system refuses an existing target.
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), 0))
        return FileMove::Moved;
    const DWORD err = GetLastError();
    if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS)
        return FileMove::TargetExists;
    if (err == ERROR_FILE_NOT_FOUND)
        return FileMove::NoSource;
    char text[512] = "";
    const DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, err, 0, text, sizeof(text), nullptr);
    *error = len ? std::string(text, len) : "system error " + std::to_string(err);
    while (!error->empty() && (error->back() == '\n' || error->back() == '\r'))
        error->pop_back();
    return FileMove::Failed;
}

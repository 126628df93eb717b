#pragma once

// Renaming a file without ever replacing another.

#include <string>

// How file_move_no_replace ended.
enum class FileMove {
    Moved,        // `from` is now at `to`
    NoSource,     // there is no `from`
    TargetExists, // something is at `to` already; nothing was changed
    Failed,       // the system refused; *error holds its text
};

// Gives the file at `from` the name `to` (paths in UTF-8, in one directory)
// unless `to` exists: a file that appears at `to` while this runs is not
// replaced either.
FileMove file_move_no_replace(const std::string& from, const std::string& to, std::string* error);

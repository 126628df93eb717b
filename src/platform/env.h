#pragma once

// Where the MQTT clients look for their per-user configuration file.

// Outcome of user_config_file().
enum user_config_lookup {
    USER_CONFIG_NONE = 0,      // no usable per-user directory: read no file
    USER_CONFIG_FOUND = 1,     // *path holds a malloc'd path the caller frees
    USER_CONFIG_NO_MEMORY = 2, // the path could not be allocated
};

// Builds the path of `file_name` in the per-user directory. The directory is
// "USERPROFILE" when that is set (on POSIX "HOME" otherwise); a value must have
// 1 to 1023 characters to count. *path is set only for USER_CONFIG_FOUND.
int user_config_file(const char* file_name, char** path);

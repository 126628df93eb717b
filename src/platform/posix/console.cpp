#include "platform/console.h"

// POSIX streams never translate line ends.
void stdout_binary_mode() {}
void stdin_binary_mode() {}

#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

void stdout_binary_mode() {
    // Payload bytes and newlines must reach the output untranslated.
    _setmode(_fileno(stdout), _O_BINARY);
}

void stdin_binary_mode() {
    _setmode(_fileno(stdin), _O_BINARY);
}

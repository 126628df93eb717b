#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

void stdout_binary_mode() {
    // Payload bytes and newlines must reach the output untranslated.
    _setmode(_fileno(stdout), _O_BINARY);
}

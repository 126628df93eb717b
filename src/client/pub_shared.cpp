#include "client/pub_shared.h"

#include <cstdio>
#include <cstdlib>

#include "client/client_shared.h"
#include "platform/console.h"

namespace {

void release_message() {
    std::free(cfg.message);
    cfg.message = nullptr;
    cfg.msglen = 0;
}

} // namespace

int load_stdin(void) {
    cfg.pub_mode = MSGMODE_STDIN_FILE;
    release_message();
    // An end of input seen by an earlier run in this process must not make
    // this one read nothing.
    std::clearerr(stdin);
    stdin_binary_mode();

    char buf[1024];
    char* message = nullptr;
    size_t total = 0;
    size_t capacity = 0;
    for (;;) {
        size_t n = std::fread(buf, 1, sizeof(buf), stdin);
        if (n > 0) {
            // Stop as soon as the limit is passed: an endless input must not
            // be buffered whole only to be refused afterwards.
            if (total + n > PUB_MAX_PAYLOAD) {
                std::free(message);
                err_printf(&cfg, "Error: Message length must be less than %u bytes.\n\n",
                           PUB_MAX_PAYLOAD);
                return 1;
            }
            if (total + n > capacity) {
                size_t grown = capacity ? capacity * 2 : sizeof(buf) * 4;
                if (grown > PUB_MAX_PAYLOAD)
                    grown = PUB_MAX_PAYLOAD;
                if (grown < total + n)
                    grown = total + n;
                char* bigger = static_cast<char*>(std::realloc(message, grown));
                if (!bigger) {
                    std::free(message);
                    err_printf(&cfg, "Error: Out of memory.\n");
                    return 1;
                }
                message = bigger;
                capacity = grown;
            }
            for (size_t i = 0; i < n; ++i)
                message[total + i] = buf[i];
            total += n;
        }
        if (n < sizeof(buf)) {
            if (std::feof(stdin))
                break;
            if (std::ferror(stdin)) {
                std::free(message);
                err_printf(&cfg, "Error: Unable to read from stdin.\n");
                return 1;
            }
        }
    }

    cfg.message = message;
    cfg.msglen = static_cast<int32_t>(total);
    if (total == 0) {
        err_printf(&cfg, "Error: Zero length input.\n");
        return 1;
    }
    return 0;
}

int load_file(const char* filename) {
    FILE* fptr = std::fopen(filename, "rb");
    if (!fptr) {
        err_printf(&cfg, "Error: Unable to open file \"%s\".\n", filename);
        return 1;
    }
    cfg.pub_mode = MSGMODE_FILE;
    release_message();

    long size = -1;
    if (std::fseek(fptr, 0, SEEK_END) == 0)
        size = std::ftell(fptr);
    if (size < 0) {
        std::fclose(fptr);
        err_printf(&cfg, "Error: Unable to determine size of file \"%s\".\n", filename);
        return 1;
    }
    if (static_cast<unsigned long>(size) > PUB_MAX_PAYLOAD) {
        std::fclose(fptr);
        err_printf(&cfg, "Error: File must be less than %u bytes.\n\n", PUB_MAX_PAYLOAD);
        release_message();
        return 1;
    }
    if (size == 0) {
        std::fclose(fptr);
        return 0;
    }

    size_t len = static_cast<size_t>(size);
    char* message = static_cast<char*>(std::malloc(len));
    if (!message) {
        std::fclose(fptr);
        err_printf(&cfg, "Error: Out of memory.\n");
        return 1;
    }
    if (std::fseek(fptr, 0, SEEK_SET) != 0) {
        std::free(message);
        std::fclose(fptr);
        err_printf(&cfg, "Error: Unable to read file \"%s\".\n", filename);
        return 1;
    }
    size_t got = 0;
    while (got < len) {
        size_t n = std::fread(message + got, 1, len - got, fptr);
        if (n == 0) {
            // Shrunk while we read it, or not readable at all (a directory):
            // never publish a message padded with bytes that were not read.
            std::free(message);
            std::fclose(fptr);
            err_printf(&cfg, "Error: Unable to read file \"%s\".\n", filename);
            return 1;
        }
        got += n;
    }
    std::fclose(fptr);
    cfg.message = message;
    cfg.msglen = static_cast<int32_t>(len);
    return 0;
}

namespace pub {

void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) {
    (void)mosq;
    (void)obj;
    (void)level;
    std::printf("%s\n", str);
}

} // namespace pub

// Stands in for the publisher program in tests. Appends its argument vector to
// "record_args.log" in the current directory, one record per run:
//   <argc>\n then, per argument, <length>\n<bytes>\n
// and exits with the number held in "exit_code" when that file exists there.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    std::string record = std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i) {
        const size_t len = std::strlen(argv[i]);
        record += std::to_string(len) + "\n";
        record.append(argv[i], len);
        record += "\n";
    }
    // One write on an append-only file keeps records whole.
    int fd = open("record_args.log", O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0 || write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size()))
        return 100;
    close(fd);

    int code = 0;
    if (FILE* f = std::fopen("exit_code", "r")) {
        if (std::fscanf(f, "%d", &code) != 1)
            code = 101;
        std::fclose(f);
    }
    return code;
}

// datmend_floor: the least a salvage must do, as the benchmark's floor: read every byte of a
// file in 1 MiB chunks and write it all out.
//   datmend_floor SOURCE DEST
// Exit status 0, or 1 when a file cannot be opened, read or written.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fputs("usage: datmend_floor SOURCE DEST\n", stderr);
        return 1;
    }
    const int in = open(argv[1], O_RDONLY);
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) {
        std::perror("datmend_floor");
        return 1;
    }
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    const auto buffer = std::make_unique<char[]>(kChunk);
    for (;;) {
        const ssize_t got = read(in, buffer.get(), kChunk);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            std::perror(argv[1]);
            return 1;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t n = write(out, buffer.get() + done, static_cast<std::size_t>(got - done));
            if (n <= 0) {
                std::perror(argv[2]);
                return 1;
            }
            done += n;
        }
    }
    return close(out) == 0 ? 0 : 1;
}

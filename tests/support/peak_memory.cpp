// peak_memory <file> <program> [arguments]: runs the program and writes the
// peak of its resident memory (KiB, as getrusage reports it) into <file>.
// A child's peak includes what it held before exec, a copy of its parent:
// started from this small process rather than from a test program that
// holds whole frames, the figure is the program's own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 3)
        return 127;
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return 127;
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr)
        return 127;
    std::fprintf(out, "%ld\n", usage.ru_maxrss);
    std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

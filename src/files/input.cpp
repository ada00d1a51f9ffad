// Input files that cannot hang a read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/files.h"

namespace zemb {

int open_input_file(const char* path, int& error, unsigned& mode)
{
    // A FIFO opened this way does not wait for a writer, and fstat() then
    // tells it from a file before any read can block.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
        error = errno;
    } else if (!S_ISREG(status.st_mode)) {
        mode = status.st_mode;
    } else {
        return fd;  // reads of a regular file never wait, O_NONBLOCK or not
    }
    ::close(fd);
    return -1;
}

const char* describe_file_kind(unsigned mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

}  // namespace zemb

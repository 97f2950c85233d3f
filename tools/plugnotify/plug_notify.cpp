// Plug-event notifier: the fixed sequence of trace directories, progress lines and the one write.
#include "tools/plugnotify/plug_notify.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovplug {
namespace {

constexpr char kMessage[] = "usbPlugged";

// The program runs as root and the pipe lives in world-writable /tmp, so the open must not be
// steered elsewhere: a symbolic link is not followed (O_NOFOLLOW) and a regular file with more
// than one link (a hard link planted to another file) is refused rather than truncated. The
// write-only open keeps the blocking until a reader has the pipe open, which a read-write open
// of a FIFO would not give. A missing name is still created as a regular file, as "w+" did.
FILE* openPipeForWriting(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st;
    bool usable = fstat(fd, &st) == 0 &&
                  (S_ISFIFO(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink == 1));
    if (usable && S_ISREG(st.st_mode)) usable = ftruncate(fd, 0) == 0;
    FILE* stream = usable ? fdopen(fd, "w") : nullptr;
    if (stream == nullptr) close(fd);
    return stream;
}

}  // namespace

int notifyPlugEvent(const NotifyTarget& target) {
    FILE* out = target.out;
    // The three directories only trace how far a run got; their results are not looked at.
    target.runCommand("mkdir /var/log/v1");
    fprintf(out, " **** success 1 \n ");
    char buffer[sizeof kMessage];
    memcpy(buffer, kMessage, sizeof kMessage);
    fprintf(out, " **** success 2 \n ");
    target.runCommand("mkdir /var/log/v2");
    fprintf(out, " string %s and length %d ", buffer, int(strlen(buffer)));
    fprintf(out, " **** success 3 \n ");
    fprintf(out, "  fifo name = %s  \n ", target.pipePath);
    fflush(out);

    FILE* pipe = openPipeForWriting(target.pipePath);
    if (pipe == nullptr) {
        fputs("fopen returned a NULL, expected valid stream\n", out);
        fflush(out);
        return kStatusOpenFailed;
    }
    target.runCommand("mkdir /var/log/v3");
    fprintf(out, " **** success 4 \n ");
    // One 10-byte write, below the pipe's atomic size: concurrent runs never interleave.
    fwrite(buffer, 1, strlen(buffer), pipe);
    fprintf(out, " **** success 5 \n ");
    fclose(pipe);
    fprintf(out, " **** success 6\n ");
    fflush(out);
    return kStatusDone;
}

}  // namespace tovplug

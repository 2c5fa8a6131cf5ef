/* A stranger's libntesra.so: loading it appends this process's id to the file
 * named by VRXCHDET_PLANTED_MARKER, which the tests look for. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void markLoaded(void) {
    const char *marker = getenv("VRXCHDET_PLANTED_MARKER");
    if (marker == NULL) return;
    int fd = open(marker, O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd < 0) return;
    char line[32];
    int length = snprintf(line, sizeof line, "%ld\n", (long)getpid());
    if (write(fd, line, (size_t)length) < 0) { /* nothing more to do */ }
    close(fd);
}

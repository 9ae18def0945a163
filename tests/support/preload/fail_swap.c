/* Preloaded into a pre-starter by the self-update tests: the folder exchange
 * looks unsupported (as on file systems without it), and the rename that then
 * moves a candidate folder in as "current" fails, as it may on a failing disk,
 * so that the undo of the two-rename swap can be seen. Every other rename
 * goes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

typedef int (*RenameAt2)(int, const char*, int, const char*, unsigned int);

static int endsWith(const char* text, const char* tail) {
    size_t length = strlen(text);
    size_t tailLength = strlen(tail);
    return length >= tailLength && strcmp(text + length - tailLength, tail) == 0;
}

int renameat2(int oldDirectory, const char* oldPath, int newDirectory, const char* newPath, unsigned int flags) {
    static RenameAt2 real = NULL;
    if (real == NULL) {
        real = (RenameAt2)dlsym(RTLD_NEXT, "renameat2");
    }
    const char* base = strrchr(oldPath, '/');
    base = base == NULL ? oldPath : base + 1;
    if (strncmp(base, "candidate-", 10) == 0 && endsWith(newPath, "/current")) {
        errno = (flags & RENAME_EXCHANGE) != 0 ? EINVAL : EIO;
        return -1;
    }
    return real(oldDirectory, oldPath, newDirectory, newPath, flags);
}

/*
 * regular_file.h - opening a file the library reads whole: only a regular
 * file is opened.
 *
 * Opening a FIFO for reading waits for a writer, and reading a device or
 * a directory never ends or never starts; a path that names anything but
 * a regular file is refused without waiting (the file is opened without
 * blocking, looked at, and only then read normally).
 */
#ifndef LUMETRA_ENGINE_FORMATS_REGULAR_FILE_H
#define LUMETRA_ENGINE_FORMATS_REGULAR_FILE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The file at path opened for binary reading, or NULL when it cannot be
 * opened or is not a regular file (path NULL too).  Close with fclose. */
FILE *qx_open_regular_file(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* LUMETRA_ENGINE_FORMATS_REGULAR_FILE_H */

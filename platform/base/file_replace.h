// Opening a file to write it anew, for the stand-ins that create files
// (AVIFile, the C runtime's _fsopen): not part of the API.
#pragma once

// Opens path for writing from its first byte, under a lock that another
// writer through this call sees: exclusive refuses while anyone holds the
// file, otherwise only while someone holds it exclusively. An existing
// regular file is not cut short under its readers: a new file beside it,
// with its permissions, takes its name (through a symbolic link, the
// target's); where no file can be made beside it (a folder we may not write
// in, a name too long), it is truncated in place as before. Anything else
// (a device, a pipe) is opened as it is. Answers the descriptor, or -1 with
// errno set (EWOULDBLOCK: another writer holds the file).
int file_replace_open(const char* path, bool exclusive);

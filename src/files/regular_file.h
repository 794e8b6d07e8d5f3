#pragma once

class QFile;

// Opens the file read-only, but only when it is a regular file (after following symlinks). A FIFO
// would hold the run in open() until some writer came, and a device such as /dev/zero hands out
// endless bytes or none; both are refused without waiting.
bool openRegularFile(QFile& file);

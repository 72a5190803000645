// Puts complete temporary files on disk off the caller's thread. A file's data
// must be on disk before it may take its final name; doing that one flush at a
// time on the thread that drives the transfers would make every file wait for
// the device. Here files are flushed while that thread goes on bringing the
// next ones: each with a flush of its own data alone, never the whole file
// system's (which would write out every other process's data on it too), and
// those that finish together in flight at once, so the file system commits
// them together. The folders that received renames go with each batch
// (carpetas.h).
#pragma once

#include <memory>

namespace sockvor {

class Constancia;

// Starts making the file behind `fd` durable; `fd` is duplicated, so the caller
// may close its own at any time.
std::shared_ptr<Constancia> asegura(int fd);

// Whether the file is on disk yet, without waiting; asking puts its batch in a hurry.
bool hecha(Constancia &c);

// Waits until the file is on disk: 0, or the errno of its failed flush.
int espera(Constancia &c);

// Finishes what is queued and stops the threads (process exit, confinement).
void detiene_asegurador();

} // namespace sockvor

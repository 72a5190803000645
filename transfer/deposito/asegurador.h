// Puts complete temporary files on disk off the caller's thread. A file's data
// must be on disk before it may take its final name; doing that one fsync at a
// time on the thread that drives the transfers would make every file wait for
// the device. Here files are flushed while that thread goes on bringing the
// next ones, and those that finish together share one device flush.
#pragma once

#include <memory>

namespace sockvor {

class Constancia;

// Starts making the file behind `fd` durable; `fd` is duplicated, so the caller
// may close its own at any time.
std::shared_ptr<Constancia> asegura(int fd);

// Whether the file is on disk yet, without waiting; asking puts its batch in a hurry.
bool hecha(Constancia &c);

// Waits until the file is on disk: 0, or the errno of the failed fsync.
int espera(Constancia &c);

// Finishes what is queued and stops the thread (process exit).
void detiene_asegurador();

} // namespace sockvor

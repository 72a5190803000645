// The library's own threads (the watchdog, the flushing), every one started here. A thread
// is born with its creator's signal mask, so these are born with the signals blocked: a
// TERM, INT or HUP is then only ever taken by one of the program's threads, where the hold
// around a temporary file's creation covers it (temporales.h). A thread that blocked them
// in its first statement could take one before that statement ran, while the program's
// thread held it back from a file not yet noted, and that file stayed.
#pragma once

#include <functional>
#include <thread>

namespace sockvor {

// Starts `cuerpo` on a thread of its own, every signal blocked but the faults a thread
// causes itself. When the system refuses a thread (a task limit, no memory) nothing is
// thrown: the thread returned is empty, errno says why, and the caller does without.
std::thread lanza_hilo(std::function<void()> cuerpo) noexcept;

} // namespace sockvor

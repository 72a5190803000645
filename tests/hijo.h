// Steps of a test run in a child process, one at a time, when the test asks. What they
// do to their process (the library's connections, its confinement to the deposit folder
// of its first fetch) stays in the child; between steps the test, in its own process,
// may change anything, and unmount what it mounted.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

class Hijo {
  public:
    // Forks now: the child has what this process has, and runs no step until asked.
    explicit Hijo(std::vector<std::function<std::string()>> pasos);
    ~Hijo();
    Hijo(const Hijo &) = delete;
    Hijo &operator=(const Hijo &) = delete;

    // Runs the next step in the child and returns what it returned; throws when the
    // child ends instead.
    std::string paso();
    // Lets the child end, through exit() and so through the handlers the library
    // registered, and waits for it: 0, 1 when a check of the test failed in the child,
    // or the status of an exit the library forced; 128 + the signal that killed it.
    int termina();

  private:
    pid_t pid_ = -1;
    int orden_ = -1;
    int respuesta_ = -1;
};

#pragma once

// One run of the command: the arguments as main receives them, the exit status as result.
int acuses(int argc, char **argv);

#include "acuses.h"

int main(int argc, char **argv) {
    return acuses(argc, argv);
}

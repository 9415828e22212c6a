#include "platform.h"
#include "run.h"

int main(int argc, char** argv) {
    ConsoleScope console;
    return run(argc, argv);
}

#include "platform.h"
#include "run.h"

int main(int argc, char** argv) {
    ProcessSetup setup;
    return run(argc, argv);
}

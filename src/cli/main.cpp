// The program entry: sets the process up for the run and returns its exit status.
#include "platform.h"
#include "run.h"

int main(int argc, char** argv) {
    ProcessSetup setup;
    return run(argc, argv);
}

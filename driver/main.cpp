#include "driver/run.h"

int main(int argc, char** argv) {
    return chkmend::runChkmend(argc, argv, chkmend::consoleSink());
}

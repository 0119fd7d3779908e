#include "Startup.h"

int main(int argc, char** argv) {
    return RunGlintwise(argc, argv);
}

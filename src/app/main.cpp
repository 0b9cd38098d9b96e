#include "app/update_sequence.h"

int main(int argc, char** argv) { return runUpdate(argc, argv); }

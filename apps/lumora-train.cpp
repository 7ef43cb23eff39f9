#include "lumora/commands/train.h"

int main(int argc, char** argv) { return lumora::commands::train::run(argc, argv); }

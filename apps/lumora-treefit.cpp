#include "lumora/commands/treefit.h"

int main(int argc, char** argv) { return lumora::commands::treefit::run(argc, argv); }

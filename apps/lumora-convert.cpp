#include "lumora/commands/convert.h"

int main(int argc, char** argv) { return lumora::commands::convert::run(argc, argv); }

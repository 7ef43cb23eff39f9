#include "lumora/commands/predict.h"

int main(int argc, char** argv) { return lumora::commands::predict::run(argc, argv); }

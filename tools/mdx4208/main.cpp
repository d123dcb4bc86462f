// mdx4208: runs a simulated machine with MDX-4208 boards and their driver in
// this process, and lets people run, watch and script it.
#include <iostream>

#include "cli.h"

int main(int argc, char** argv) { return tool::RunTool(argc, argv, std::cout, std::cerr); }

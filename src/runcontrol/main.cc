#include "runcontrol/driver.h"

int main(int argc, char** argv) { return runDezevazir(argc, argv, productCommands()); }

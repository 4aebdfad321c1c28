#include "service/service_shell.h"

int main(int argc, char** argv) { return ServiceCommandLine(argc, argv); }

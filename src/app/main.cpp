#include "app/startup.h"

int main(int argc, char** argv) { return zarvo::runStartup(argc, argv); }

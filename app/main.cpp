#include "app/driver.h"

int main(int argc, char** argv) { return mapbake::run(argc, argv); }

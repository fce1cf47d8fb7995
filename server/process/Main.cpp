#include "server/process/Entry.h"

int main(int argc, char** argv) { zevra::RunServer(argc, argv); }

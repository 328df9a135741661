// The process entry; everything it does lives in process_entry.cpp, where tests can reach it.

#include "process_entry.h"

int main(int argc, char** argv) { return tindral::run_process(argc, argv); }

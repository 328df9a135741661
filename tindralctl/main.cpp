// The process entry; everything it does lives in tindralctl.cpp.

#include "tindralctl.h"

int main(int argc, char** argv) { return tindral::ctl::run_process(argc, argv); }

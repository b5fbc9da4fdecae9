// The program's entry point; everything else lives in the library.
#include "dulk.h"

int main(int argc, char** argv) { return dulk::dulk_main(argc, argv); }

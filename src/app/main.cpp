#include "app/app.h"

int main(int argc, char* argv[]) { return zelkora_main(argc, argv); }

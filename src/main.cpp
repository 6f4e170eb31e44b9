#include "app/Entry.h"

int main(int argc, char** argv) { return tovrik::app::runApplication(argc, argv); }

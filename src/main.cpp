#include "app/Entry.h"
#include "common/ProcessEnd.h"

int main(int argc, char** argv)
{
    tovrik::watchProcessEnds();
    tovrik::endProcess(tovrik::app::runApplication(argc, argv));
}

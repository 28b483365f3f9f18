#include "AgentCommandLine.h"
#include "AgentMain.h"

int main(int argc, char** argv)
{
    return AgentCommandLine::run(argc, argv, startAgent);
}
